"""The stand-in's exceptions, where PyVISA keeps its own."""


class VisaIOError(Exception):
    pass

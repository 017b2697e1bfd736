"""Finds the PyVISA client that the client tests run with.

The real client comes first: PyVISA with its pure-Python HiSLIP backend
pyvisa-py, as package folders in ../shared/peers beside the project (run with
/usr/bin/python3 and that folder on PYTHONPATH), else a PyVISA with a HiSLIP
backend installed for /usr/bin/python3 or for this interpreter. TARVOS_PEERS
names another peers folder (a folder that does not exist means: no peers).
"""
import os
import re
import subprocess
import sys

SYSTEM_PYTHON = "/usr/bin/python3"
PROBE = "import pyvisa, pyvisa_py.protocols.hislip"
# The versions of an installed PyVISA and pyvisa-py, from their package metadata.
INSTALLED_VERSIONS = ("from importlib.metadata import version; "
                      "print(version('PyVISA'), version('PyVISA-py'))")


class Client:
    """How to run Python code with the client: the interpreter, what PYTHONPATH
    must hold, and a line that names it."""

    def __init__(self, interpreter, pythonpath, description, pyvisa_version, backend_version):
        self.interpreter = interpreter
        self.pythonpath = pythonpath
        self.description = description
        self.pyvisa_version = pyvisa_version
        self.backend_version = backend_version

    def environment(self, base=None):
        env = dict(os.environ if base is None else base)
        if self.pythonpath:
            env["PYTHONPATH"] = os.pathsep.join(p for p in (self.pythonpath, env.get("PYTHONPATH")) if p)
        return env


class Unusable(Exception):
    """The peers folder is there but its client can't be imported."""


def peers_folder(source):
    configured = os.environ.get("TARVOS_PEERS")
    return os.path.realpath(configured if configured else os.path.join(source, "..", "shared", "peers"))


def folder_versions(folder):
    """The versions of pyvisa/ and pyvisa_py/ as the folder's README table lists
    them (the folders carry no package metadata)."""
    versions = {}
    try:
        with open(os.path.join(folder, "README.md")) as f:
            text = f.read()
    except OSError:
        return "unknown", "unknown"
    for name in ("pyvisa", "pyvisa_py"):
        match = re.search(r"^\|\s*`%s/`\s*\|[^|]*\|\s*([0-9][^|\s]*)\s*\|" % name, text, re.M)
        versions[name] = match.group(1) if match else "unknown"
    return versions["pyvisa"], versions["pyvisa_py"]


def _imports(interpreter, env):
    done = subprocess.run([interpreter, "-c", PROBE], capture_output=True, text=True, timeout=120, env=env)
    return done.returncode == 0, (done.stderr.strip().splitlines() or ["no output"])[-1]


def find(source):
    """The client to use, None when there is none, or Unusable raised when the
    peers folder is there but does not import."""
    folder = peers_folder(source)
    if os.path.isdir(os.path.join(folder, "pyvisa")) and os.path.isdir(os.path.join(folder, "pyvisa_py")):
        pyvisa_version, backend_version = folder_versions(folder)
        shown = os.path.relpath(folder, source)
        client = Client(SYSTEM_PYTHON, folder,
                        f"PyVISA {pyvisa_version} with pyvisa-py {backend_version} from {shown}",
                        pyvisa_version, backend_version)
        ok, why = _imports(SYSTEM_PYTHON, client.environment())
        if not ok:
            raise Unusable(f"the client in {folder} does not import with {SYSTEM_PYTHON} ({why}); "
                           "make test-deps installs python3-typing-extensions and python3-yaml")
        return client
    for interpreter in dict.fromkeys(i for i in (SYSTEM_PYTHON, sys.executable) if os.path.exists(i)):
        env = dict(os.environ)
        if _imports(interpreter, env)[0]:
            done = subprocess.run([interpreter, "-c", INSTALLED_VERSIONS], capture_output=True, text=True,
                                  timeout=60, env=env)
            words = done.stdout.split() if done.returncode == 0 else []
            pyvisa_version, backend_version = (words + ["unknown", "unknown"])[:2]
            return Client(interpreter, None,
                          f"PyVISA {pyvisa_version} with pyvisa-py {backend_version} installed for {interpreter}",
                          pyvisa_version, backend_version)
    return None


def missing_note(source):
    return (f"no PyVISA client: neither {peers_folder(source)} (PyVISA and pyvisa-py as package folders) "
            "nor a PyVISA with the HiSLIP backend pyvisa-py installed")

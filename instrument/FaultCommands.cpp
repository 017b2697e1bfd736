// DIAG:FAULT: test faults that a client arms in its own session to meet, on
// demand, the trouble that breaks clients in the field.
#include "instrument/Instrument.h"
#include "log/Log.h"

namespace tarvos {

namespace {

// The result that ends a session which a fault has shut down itself: no
// closing line of its own (the fault's line says why).
constexpr int kEndedByFault = -2;

bool EndsUnit(uint8_t delimiter)
{
    return delimiter == ';' || delimiter == '\n' || delimiter == 0;
}

}  // namespace

int Instrument::WithFaultNumber(uint8_t& delimiter, uint32_t low, uint32_t high,
                                const std::function<int(uint32_t)>& use)
{
    // The whole number is checked: one past 32 bits is out of range, not
    // the small number of its low bits.
    uint64_t number = 0;
    const int result = ExpectExactInteger(number, delimiter);
    if (result <= 0 || !EndsUnit(delimiter)) {
        return result;
    }
    if (number < low || number > high) {
        errorQueue.PushError(FormatError(-222));
        return result;
    }
    return use(static_cast<uint32_t>(number));
}

int Instrument::FaultSplit(const std::string&, uint8_t& delimiter)
{
    return WithFaultNumber(delimiter, 1, FaultFilter::kMaxSplit, [this](uint32_t size) {
        faults.ArmSplit(size);
        LogVerbose(log, "Socket[%X]: INFO: Fault armed: SPLIT %u bytes per message", channel.TraceNumber(), size);
        return 1;
    });
}

int Instrument::FaultDelay(const std::string&, uint8_t& delimiter)
{
    return WithFaultNumber(delimiter, 0, FaultFilter::kMaxDelayMs, [this](uint32_t ms) {
        faults.ArmDelay(ms);
        LogVerbose(log, "Socket[%X]: INFO: Fault armed: DELAY %u ms", channel.TraceNumber(), ms);
        return 1;
    });
}

int Instrument::FaultSlow(const std::string&, uint8_t& delimiter)
{
    return WithFaultNumber(delimiter, 0, FaultFilter::kMaxPaceUs, [this](uint32_t us) {
        faults.ArmPace(us);
        LogVerbose(log, "Socket[%X]: INFO: Fault armed: SLOW %u us per byte", channel.TraceNumber(), us);
        return 1;
    });
}

int Instrument::FaultDrop(const std::string&, uint8_t& delimiter)
{
    // A parameter where none belongs arms nothing; the worker loop reports it.
    if (EndsUnit(delimiter)) {
        faults.ArmDrop();
        LogVerbose(log, "Socket[%X]: INFO: Fault armed: DROP", channel.TraceNumber());
    }
    return 1;
}

int Instrument::FaultMessageId(const std::string&, uint8_t& delimiter)
{
    if (EndsUnit(delimiter)) {
        faults.ArmStaleId();
        LogVerbose(log, "Socket[%X]: INFO: Fault armed: MSGID", channel.TraceNumber());
    }
    return 1;
}

int Instrument::FaultFatal(const std::string&, uint8_t& delimiter)
{
    return WithFaultNumber(delimiter, 0, FaultFilter::kMaxErrorCode, [this](uint32_t code) {
        LogVerbose(log, "Socket[%X]: INFO: Fault fired: FATAL %u, session closed", channel.TraceNumber(), code);
        channel.SendProtocolError(true, static_cast<uint8_t>(code));
        channel.ShutDownSession();
        // Nothing of this program message reaches the client any more.
        EndResponse();
        return kEndedByFault;
    });
}

int Instrument::FaultError(const std::string&, uint8_t& delimiter)
{
    return WithFaultNumber(delimiter, 0, FaultFilter::kMaxErrorCode, [this](uint32_t code) {
        LogVerbose(log, "Socket[%X]: INFO: Fault fired: ERROR %u", channel.TraceNumber(), code);
        if (channel.SendProtocolError(false, static_cast<uint8_t>(code)) == Sent::Failed) {
            LogError(log, "ERROR: in sending Error");
            return -1;
        }
        return 1;
    });
}

int Instrument::FaultInterrupt(const std::string&, uint8_t& delimiter)
{
    if (!EndsUnit(delimiter)) {
        return 1;
    }
    LogVerbose(log, "Socket[%X]: INFO: Fault fired: INTERRUPT", channel.TraceNumber());
    return channel.SignalInterrupted() ? 1 : -1;
}

int Instrument::FaultClear(const std::string&, uint8_t& delimiter)
{
    if (EndsUnit(delimiter) && faults.Clear()) {
        LogVerbose(log, "Socket[%X]: INFO: Faults cleared", channel.TraceNumber());
    }
    return 1;
}

int Instrument::FaultQuery(const std::string&, uint8_t& delimiter)
{
    // Its own answer is never faulted and uses nothing up.
    faults.ExemptResponse();
    return AddResponse(faults.Armed(), delimiter);
}

}  // namespace tarvos

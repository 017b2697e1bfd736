// SLEEP and DIAG:ARM:SRQ, two commands for testing clients.
#include "log/Log.h"
#include "instrument/Instrument.h"

namespace tarvos {

int Instrument::Sleep(const std::string&, uint8_t& delimiter)
{
    int32_t value = 0;
    const int result = ExpectInteger(value, delimiter);
    if (result <= 0) {
        return result;
    }
    const uint32_t ms = static_cast<uint32_t>(value);
    // A client that hangs up ends the sleep: its session ends at once.
    const Channel::Woken woken = channel.WaitWhileClientStays(ms, channel.ClearEvent(), channel.StopEvent());
    if (woken.why == Channel::Woken::Why::TimedOut) {
        LogVerbose(log, "INFO: Sleep finished");
    } else if (woken.By(0)) {
        LogVerbose(log, "INFO: Sleep aborted due to DeviceClear");
    }
    return result;
}

int Instrument::ArmSrq(const std::string&, uint8_t&)
{
    channel.Features().ArmServiceRequest();
    return 1;
}

}  // namespace tarvos

// A session bound to an instrument of the definition file: program messages
// end at a DataEnd and are executed whole, the session's own test commands
// (DIAG:FAULT..., DIAG:ARM:SRQ) first, the rest by the instrument as the
// definition says.
#include <cstring>

#include "common/EscapeForLog.h"
#include "instrument/Instrument.h"
#include "log/Log.h"

namespace tarvos {

namespace {

// A program message is collected up to this size; beyond it the rest is read
// and thrown away and the message is answered as one that matches nothing.
constexpr size_t kProgramMessageLimit = size_t {16} << 20;
// Answers that outgrow this leave in parts of this size.
constexpr size_t kDevicePartSize = size_t {1} << 20;
// The result that ends a session which a fault has shut down itself.
constexpr long kEndedByFault = -2;

std::string UpperHeader(std::string_view unit, std::string_view& parameter)
{
    while (!unit.empty() && unit.front() == ' ') {
        unit.remove_prefix(1);
    }
    while (!unit.empty() && (unit.back() == ' ' || unit.back() == '\n')) {
        unit.remove_suffix(1);
    }
    const size_t space = unit.find(' ');
    std::string header(unit.substr(0, space));
    for (char& c : header) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    parameter = space == std::string_view::npos ? std::string_view() : unit.substr(space + 1);
    while (!parameter.empty() && parameter.front() == ' ') {
        parameter.remove_prefix(1);
    }
    return header;
}

// A decimal number of at most 10 digits, all of the parameter.
bool ReadNumber(std::string_view text, uint32_t low, uint32_t high, uint32_t& value)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return false;
    }
    uint64_t v = 0;
    for (char c : text) {
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v < low || v > high) {
        return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

long Instrument::AwaitFirstInput()
{
    for (;;) {
        uint8_t byte = 0;
        const Taken got = channel.PeekBytes(&byte, 1);
        if (got.outcome != Input::ClearEnded && got.outcome != Input::ProgramEnded) {
            return ParserResult(got);
        }
        // A device clear (or an empty DataEnd) before the first message ends
        // nothing.
        InputEnd end = InputEnd::None;
        channel.ReadBytes(&byte, 1, end);
    }
}

bool Instrument::DeviceFaultUnit(std::string_view unit, std::string& out, bool& stop)
{
    std::string_view parameter;
    const std::string header = UpperHeader(unit, parameter);
    // The armed service request of the built-in instrument's test commands.
    if (header == "DIAG:ARM:SRQ" && parameter.empty()) {
        channel.Features().ArmServiceRequest();
        return true;
    }
    if (header.rfind("DIAG:FAULT", 0) != 0) {
        return false;
    }
    const unsigned trace = channel.TraceNumber();
    uint32_t n = 0;
    if (header == "DIAG:FAULT?" && parameter.empty()) {
        faults.ExemptResponse();
        out += faults.Armed();
        out += '\n';
        return true;
    }
    if (header == "DIAG:FAULT:SPLIT" && ReadNumber(parameter, 1, FaultFilter::kMaxSplit, n)) {
        faults.ArmSplit(n);
        LogVerbose(log, "Socket[%X]: INFO: Fault armed: SPLIT %u bytes per message", trace, n);
        return true;
    }
    if (header == "DIAG:FAULT:DELAY" && ReadNumber(parameter, 0, FaultFilter::kMaxDelayMs, n)) {
        faults.ArmDelay(n);
        LogVerbose(log, "Socket[%X]: INFO: Fault armed: DELAY %u ms", trace, n);
        return true;
    }
    if (header == "DIAG:FAULT:SLOW" && ReadNumber(parameter, 0, FaultFilter::kMaxPaceUs, n)) {
        faults.ArmPace(n);
        LogVerbose(log, "Socket[%X]: INFO: Fault armed: SLOW %u us per byte", trace, n);
        return true;
    }
    if (header == "DIAG:FAULT:FATAL" && ReadNumber(parameter, 0, FaultFilter::kMaxErrorCode, n)) {
        deviceSignals.push_back({DeviceSignal::Kind::Fatal, static_cast<uint8_t>(n)});
        out.clear();
        stop = true;
        return true;
    }
    if (header == "DIAG:FAULT:ERROR" && ReadNumber(parameter, 0, FaultFilter::kMaxErrorCode, n)) {
        deviceSignals.push_back({DeviceSignal::Kind::Error, static_cast<uint8_t>(n)});
        return true;
    }
    if (!parameter.empty()) {
        return false;
    }
    if (header == "DIAG:FAULT:DROP") {
        faults.ArmDrop();
        LogVerbose(log, "Socket[%X]: INFO: Fault armed: DROP", trace);
        return true;
    }
    if (header == "DIAG:FAULT:MSGID") {
        faults.ArmStaleId();
        LogVerbose(log, "Socket[%X]: INFO: Fault armed: MSGID", trace);
        return true;
    }
    if (header == "DIAG:FAULT:INTERRUPT") {
        deviceSignals.push_back({DeviceSignal::Kind::Interrupt, 0});
        return true;
    }
    if (header == "DIAG:FAULT:CLEAR") {
        if (faults.Clear()) {
            LogVerbose(log, "Socket[%X]: INFO: Faults cleared", trace);
        }
        return true;
    }
    // Anything else (a number out of range, say) is the instrument's to answer.
    return false;
}

bool Instrument::FireDeviceSignals()
{
    const unsigned trace = channel.TraceNumber();
    for (const DeviceSignal& signal : deviceSignals) {
        switch (signal.kind) {
        case DeviceSignal::Kind::Fatal:
            LogVerbose(log, "Socket[%X]: INFO: Fault fired: FATAL %u, session closed", trace,
                       static_cast<unsigned>(signal.code));
            channel.SendProtocolError(true, signal.code);
            channel.ShutDownSession();
            deviceSignals.clear();
            return false;
        case DeviceSignal::Kind::Error:
            LogVerbose(log, "Socket[%X]: INFO: Fault fired: ERROR %u", trace, static_cast<unsigned>(signal.code));
            if (channel.SendProtocolError(false, signal.code) == Sent::Failed) {
                LogError(log, "ERROR: in sending Error");
            }
            break;
        case DeviceSignal::Kind::Interrupt:
            LogVerbose(log, "Socket[%X]: INFO: Fault fired: INTERRUPT", trace);
            channel.SignalInterrupted();
            break;
        }
    }
    deviceSignals.clear();
    return true;
}

Answered Instrument::SendDeviceResponse(const std::string& answers)
{
    size_t at = 0;
    while (answers.size() - at > kDevicePartSize) {
        const Answered sent = responses.SendResponsePart(answers.data() + at, static_cast<uint32_t>(kDevicePartSize));
        if (sent == Answered::Failed) {
            return sent;
        }
        at += kDevicePartSize;
    }
    return responses.SendResponseEnd(answers.data() + at, static_cast<uint32_t>(answers.size() - at));
}

long Instrument::ServeDevice(definition::DeviceInstance& device)
{
    const definition::Binding& bound = device.Bound();
    LogVerbose(log, "Socket[%X]: INFO: session on %s: device '%s' of resource %s", channel.TraceNumber(),
               bound.subAddress.c_str(), bound.device.c_str(), bound.resource.c_str());
    const definition::DeviceInstance::Intercept intercept = [this](std::string_view unit, std::string& out,
                                                                    bool& stop) {
        return DeviceFaultUnit(unit, out, stop);
    };
    std::string message;
    bool overflow = false;
    uint8_t buffer[16384];
    for (;;) {
        if (message.empty() && !overflow) {
            faults.Idle();
            unitClears = channel.CompletedClears();
        }
        InputEnd end = InputEnd::None;
        const Taken got = channel.ReadBytes(buffer, sizeof(buffer), end);
        if (got.outcome == Input::ClearEnded || end == InputEnd::DeviceClear) {
            // The clear ends the program message; nothing of it is executed.
            message.clear();
            overflow = false;
            continue;
        }
        if (got.outcome == Input::ProgramEnded) {
            // An empty DataEnd ends the program message that came in Data
            // messages: nothing more to add.
        } else if (!got.HasBytes()) {
            return ParserResult(got);
        } else if (message.size() + static_cast<size_t>(got.count) <= kProgramMessageLimit) {
            message.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(got.count));
        } else {
            overflow = true;
        }
        if (end != InputEnd::Message) {
            continue;
        }
        if (VerboseEnabled(log)) {
            LogVerbose(log, "Socket[%X]: %s << %s", channel.TraceNumber(), bound.subAddress.c_str(),
                       EscapeForLog(message.data(), static_cast<uint32_t>(message.size() < 250 ? message.size() : 250))
                           .c_str());
        }
        bool ended = false;
        const std::string answers = device.Execute(overflow ? std::string_view("\xff") : std::string_view(message),
                                                   [&](std::string_view unit, std::string& out, bool& stop) {
                                                       const bool taken = intercept(unit, out, stop);
                                                       ended = ended || stop;
                                                       return taken;
                                                   });
        message.clear();
        overflow = false;
        if (!FireDeviceSignals() || ended) {
            return kEndedByFault;
        }
        // A device clear while the message was executed ends its answer too.
        if (channel.CompletedClears() != unitClears || answers.empty()) {
            continue;
        }
        if (SendDeviceResponse(answers) == Answered::Failed) {
            return -1;
        }
    }
}

}  // namespace tarvos

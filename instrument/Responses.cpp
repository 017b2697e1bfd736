// The response of a program message: units joined with ';', sent when the
// program message ends, in parts when it grows large, dropped when a device
// clear ends the exchange.
#include "instrument/Instrument.h"

namespace tarvos {

namespace {

// Units joined by ';' wait in the response buffer for the end of their
// program message. A response that reaches this size leaves as a non-final
// part and collecting goes on behind it, so a program message that never
// ends can't make the buffer grow without bound and nothing is dropped.
constexpr size_t kResponsePartSize = size_t{1} << 20;
// A response collects this much without asking the server's budget; past it,
// the full part size is paid for from the budget, and when the budget is
// spent the response leaves in parts of this size instead.
constexpr size_t kFreeResponseSize = size_t{64} << 10;

}  // namespace

size_t Instrument::ResponsePartLimit()
{
    if (responseReserved || responseBuffer.size() < kFreeResponseSize) {
        return responseReserved ? kResponsePartSize : kFreeResponseSize;
    }
    if (channel.Memory().Reserve(kResponsePartSize)) {
        responseReserved = true;
        responseBuffer.reserve(kResponsePartSize + kFreeResponseSize);
        return kResponsePartSize;
    }
    return kFreeResponseSize;
}

void Instrument::EndResponse()
{
    responseStarted = false;
    if (responseReserved) {
        // The large buffer goes back with its share of the budget.
        std::string().swap(responseBuffer);
        channel.Memory().Give(kResponsePartSize);
        responseReserved = false;
    } else {
        responseBuffer.clear();
    }
}

bool Instrument::ClearedDuringUnit()
{
    if (channel.CompletedClears() == unitClears) {
        return false;
    }
    // Parts that already left belong to an exchange the clear has ended: the
    // response gets no end of its own.
    EndResponse();
    return true;
}

int Instrument::AddResponse(const std::string& unit, uint8_t delimiter)
{
    // The client cleared the device while this unit was read or executed: its
    // program message is over, and so is its answer.
    if (ClearedDuringUnit()) {
        return 1;
    }
    if (responseBuffer.empty() && !responseStarted) {
        responseBuffer = unit;
    } else {
        responseBuffer += ';';
        responseBuffer += unit;
    }
    if (delimiter != '\n') {
        if (responseBuffer.size() < ResponsePartLimit()) {
            return 1;
        }
        const Answered result =
            responses.SendResponsePart(responseBuffer.data(), static_cast<uint32_t>(responseBuffer.size()));
        responseBuffer.clear();
        responseStarted = true;
        return HandlerResult(result);
    }
    responseBuffer += '\n';
    const Answered result = responses.SendResponse(responseBuffer);
    EndResponse();
    return HandlerResult(result);
}

void Instrument::Flush()
{
    if (ClearedDuringUnit()) {
        return;
    }
    if (!responseBuffer.empty() || responseStarted) {
        responseBuffer += '\n';
        responses.SendResponse(responseBuffer);
        EndResponse();
    }
}

void Instrument::DropResponse()
{
    responseBuffer.clear();
    if (responseStarted) {
        Flush();
    } else {
        EndResponse();
    }
}

}  // namespace tarvos

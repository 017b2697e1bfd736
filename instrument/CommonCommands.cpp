// IEEE 488.2 common commands, the status registers and the error query.
#include <cstdio>

#include "hislip/StatusBits.h"
#include "instrument/Instrument.h"

namespace tarvos {

namespace {

// Made once: every *IDN? answers it without building the text anew.
const std::string& Identification()
{
    static const std::string text = "Brennic,Tarvos,4471.2209k05,V1.00";
    return text;
}

std::string Decimal(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%u", value);
    return text;
}

}  // namespace

int Instrument::EmptyCommand(const std::string&, uint8_t&)
{
    return 1;
}

int Instrument::Identify(const std::string&, uint8_t& delimiter)
{
    return AddResponse(Identification(), delimiter);
}

int Instrument::OperationCompleteQuery(const std::string&, uint8_t& delimiter)
{
    return AddResponse("1", delimiter);
}

int Instrument::EventStatusQuery(const std::string&, uint8_t& delimiter)
{
    const std::string answer = Decimal(esr);
    stb = static_cast<uint8_t>(stb & ~kEventSummaryBit);
    esr = 0;
    channel.SetStatus(stb, sre);
    return AddResponse(answer, delimiter);
}

int Instrument::ServiceRequestEnableQuery(const std::string&, uint8_t& delimiter)
{
    return AddResponse(Decimal(sre), delimiter);
}

int Instrument::StatusByteQuery(const std::string&, uint8_t& delimiter)
{
    return AddResponse(Decimal(stb), delimiter);
}

int Instrument::EventStatusEnableQuery(const std::string&, uint8_t& delimiter)
{
    return AddResponse(Decimal(ese), delimiter);
}

int Instrument::SetServiceRequestEnable(const std::string&, uint8_t& delimiter)
{
    int32_t value = 0;
    const int result = ExpectInteger(value, delimiter);
    if (result <= 0) {
        return result;
    }
    sre = static_cast<uint8_t>(value & 0xFF);
    channel.SetStatus(stb, sre);
    return 1;
}

int Instrument::SetEventStatusEnable(const std::string&, uint8_t& delimiter)
{
    int32_t value = 0;
    const int result = ExpectInteger(value, delimiter);
    if (result <= 0) {
        return result;
    }
    ese = static_cast<uint8_t>(value & 0xFF);
    return 1;
}

int Instrument::OperationComplete(const std::string&, uint8_t&)
{
    if ((ese & kOperationCompleteBit) != 0) {
        esr |= kOperationCompleteBit;
    }
    if (esr != 0) {
        stb |= kEventSummaryBit;
    }
    channel.SetStatus(stb, sre);
    return 1;
}

int Instrument::ClearStatus(const std::string&, uint8_t&)
{
    errorQueue.Clear();
    stb &= static_cast<uint8_t>(~(kErrorQueueBit | kMavBit | kEventSummaryBit));
    esr = 0;
    channel.SetStatus(stb, sre);
    return 1;
}

int Instrument::NextError(const std::string&, uint8_t& delimiter)
{
    if (errorQueue.Empty()) {
        return AddResponse(FormatError(0), delimiter);
    }
    const int result = AddResponse(errorQueue.Front(), delimiter);
    errorQueue.PopFront();
    if (errorQueue.Empty()) {
        stb = static_cast<uint8_t>(stb & ~kErrorQueueBit);
        channel.SetStatus(stb, sre);
    }
    return result;
}

}  // namespace tarvos

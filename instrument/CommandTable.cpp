#include "instrument/CommandTable.h"

#include <functional>
#include <map>
#include <string_view>
#include <mutex>

#include "instrument/Instrument.h"

namespace tarvos {

namespace {

// Keys compare byte by byte as unsigned bytes, a prefix first (the order of
// std::string_view), and are looked up without measuring them again.
using Table = std::map<std::string_view, CommandHandler, std::less<>>;

Table& TheTable()
{
    static Table table;
    return table;
}

std::once_flag g_filled;

}  // namespace

void CommandTable::FillOnce()
{
    std::call_once(g_filled, [] {
        Table& t = TheTable();
        t[""] = &Instrument::EmptyCommand;
        t["*IDN?"] = &Instrument::Identify;
        t["*OPC?"] = &Instrument::OperationCompleteQuery;
        t["*ESR?"] = &Instrument::EventStatusQuery;
        t["*SRE?"] = &Instrument::ServiceRequestEnableQuery;
        t["*STB?"] = &Instrument::StatusByteQuery;
        t["*ESE?"] = &Instrument::EventStatusEnableQuery;
        t["*SRE"] = &Instrument::SetServiceRequestEnable;
        t["*ESE"] = &Instrument::SetEventStatusEnable;
        t["MMEM:DATA?"] = &Instrument::ReadFileQuery;
        t[":MMEM:DATA?"] = &Instrument::ReadFileQuery;
        t[":MMEM:MSIS?"] = &Instrument::MassStorageQuery;
        t[":MMEM:CDIR?"] = &Instrument::CurrentDirectoryQuery;
        t["MMEM:DATA"] = &Instrument::WriteFile;
        t[":MMEM:DATA"] = &Instrument::WriteFile;
        t["*OPC"] = &Instrument::OperationComplete;
        t["DIAG:ARM:SRQ"] = &Instrument::ArmSrq;
        t["*CLS"] = &Instrument::ClearStatus;
        t["SLEEP"] = &Instrument::Sleep;
        t["SYSTEM:ERROR?"] = &Instrument::NextError;
        t["SYST:ERR?"] = &Instrument::NextError;
        t[":SYST:ERR?"] = &Instrument::NextError;
        t["ERR?"] = &Instrument::NextError;
        t["DIAG:FAULT:SPLIT"] = &Instrument::FaultSplit;
        t["DIAG:FAULT:DELAY"] = &Instrument::FaultDelay;
        t["DIAG:FAULT:DROP"] = &Instrument::FaultDrop;
        t["DIAG:FAULT:FATAL"] = &Instrument::FaultFatal;
        t["DIAG:FAULT:ERROR"] = &Instrument::FaultError;
        t["DIAG:FAULT:MSGID"] = &Instrument::FaultMessageId;
        t["DIAG:FAULT:INTERRUPT"] = &Instrument::FaultInterrupt;
        t["DIAG:FAULT:SLOW"] = &Instrument::FaultSlow;
        t["DIAG:FAULT:CLEAR"] = &Instrument::FaultClear;
        t["DIAG:FAULT?"] = &Instrument::FaultQuery;
    });
}

CommandHandler CommandTable::Find(const std::string& header)
{
    const Table& t = TheTable();
    const auto it = t.find(std::string_view(header));
    return it == t.end() ? nullptr : it->second;
}

size_t CommandTable::Size()
{
    return TheTable().size();
}

}  // namespace tarvos

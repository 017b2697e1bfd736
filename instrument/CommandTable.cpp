#include "instrument/CommandTable.h"

#include <cstring>
#include <map>
#include <mutex>

#include "instrument/Instrument.h"

namespace tarvos {

namespace {

// Orders keys byte by byte as unsigned bytes; a prefix sorts first.
struct ByteOrder {
    using is_transparent = void;
    static int Compare(const char* a, size_t aLength, const char* b, size_t bLength)
    {
        const size_t common = aLength < bLength ? aLength : bLength;
        const int byBytes = std::memcmp(a, b, common);
        if (byBytes != 0) {
            return byBytes;
        }
        return aLength < bLength ? -1 : (aLength > bLength ? 1 : 0);
    }
    bool operator()(const char* a, const char* b) const
    {
        return Compare(a, std::strlen(a), b, std::strlen(b)) < 0;
    }
    bool operator()(const char* a, const std::string& b) const
    {
        return Compare(a, std::strlen(a), b.data(), b.size()) < 0;
    }
    bool operator()(const std::string& a, const char* b) const
    {
        return Compare(a.data(), a.size(), b, std::strlen(b)) < 0;
    }
};

using Table = std::map<const char*, CommandHandler, ByteOrder>;

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
    const auto it = t.lower_bound(header);
    if (it == t.end() || ByteOrder::Compare(it->first, std::strlen(it->first), header.data(), header.size()) != 0) {
        return nullptr;
    }
    return it->second;
}

size_t CommandTable::Size()
{
    return TheTable().size();
}

}  // namespace tarvos

#include "instrument/CommandTable.h"

#include <cstring>
#include <map>
#include <mutex>

#include "net/Connection.h"

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
        t[""] = &Connection::EmptyCommand;
        t["*IDN?"] = &Connection::Identify;
        t["*OPC?"] = &Connection::OperationCompleteQuery;
        t["*ESR?"] = &Connection::EventStatusQuery;
        t["*SRE?"] = &Connection::ServiceRequestEnableQuery;
        t["*STB?"] = &Connection::StatusByteQuery;
        t["*ESE?"] = &Connection::EventStatusEnableQuery;
        t["*SRE"] = &Connection::SetServiceRequestEnable;
        t["*ESE"] = &Connection::SetEventStatusEnable;
        t["MMEM:DATA?"] = &Connection::ReadFileQuery;
        t[":MMEM:DATA?"] = &Connection::ReadFileQuery;
        t[":MMEM:MSIS?"] = &Connection::MassStorageQuery;
        t[":MMEM:CDIR?"] = &Connection::CurrentDirectoryQuery;
        t["MMEM:DATA"] = &Connection::WriteFile;
        t[":MMEM:DATA"] = &Connection::WriteFile;
        t["*OPC"] = &Connection::OperationComplete;
        t["DIAG:ARM:SRQ"] = &Connection::ArmSrq;
        t["*CLS"] = &Connection::ClearStatus;
        t["SLEEP"] = &Connection::Sleep;
        t["SYSTEM:ERROR?"] = &Connection::NextError;
        t["SYST:ERR?"] = &Connection::NextError;
        t[":SYST:ERR?"] = &Connection::NextError;
        t["ERR?"] = &Connection::NextError;
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

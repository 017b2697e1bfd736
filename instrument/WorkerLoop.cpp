// The session worker: one iteration per program message unit.
#include "console/Server.h"
#include "instrument/CommandTable.h"
#include "log/Log.h"
#include "net/Connection.h"

namespace tarvos {

namespace {

// Units joined by ';' wait in the response buffer for the end of their
// program message. A client that never ends the message must not make the
// buffer grow without bound: once it would pass this size, the query counts
// as deadlocked (-430), the collected units are dropped and collecting
// starts over.
constexpr size_t kResponseBufferLimit = size_t{1} << 20;

void UpperCase(std::string& text)
{
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
}

}  // namespace

bool Connection::ClearedDuringUnit()
{
    if (channel.CompletedClears() == unitClears) {
        return false;
    }
    responseBuffer.clear();
    return true;
}

int Connection::AddResponse(const std::string& unit, uint8_t delimiter)
{
    // The client cleared the device while this unit was read or executed: its
    // program message is over, and so is its answer.
    if (ClearedDuringUnit()) {
        return 1;
    }
    if (responseBuffer.size() + unit.size() >= kResponseBufferLimit) {
        errorQueue.PushError(FormatError(-430));
        responseBuffer.clear();
    }
    if (responseBuffer.empty()) {
        responseBuffer = unit;
    } else {
        responseBuffer += ';';
        responseBuffer += unit;
    }
    if (delimiter != '\n') {
        return 1;
    }
    responseBuffer += '\n';
    const int result = channel.SendResponse(responseBuffer);
    responseBuffer.clear();
    return result;
}

void Connection::Flush()
{
    if (!ClearedDuringUnit() && !responseBuffer.empty()) {
        responseBuffer += '\n';
        channel.SendResponse(responseBuffer);
        responseBuffer.clear();
    }
}

void Connection::ResetSessionState()
{
    errorQueue.Clear();
    std::string().swap(responseBuffer);
    tokenTrace = true;
    channel.ResetChannel();
    sre = 0;
    ese = 0;
    stb = 0;
    esr = 0;
}

void Connection::Run()
{
    ResetSessionState();
    SignalStarted(true);

    long result;
    for (;;) {
        if (!errorQueue.Empty()) {
            stb |= 0x04;
            channel.SetStatus(stb, sre);
        }
        std::string token;
        uint8_t delimiter = 0;
        unitClears = channel.CompletedClears();
        result = channel.NextToken(token, delimiter, tokenTrace);
        if (result <= 0) {
            break;
        }
        // Units collected before a device clear that completed meanwhile never
        // reach the client.
        ClearedDuringUnit();
        UpperCase(token);
        const CommandHandler handler = CommandTable::Find(token);
        if (handler == nullptr) {
            errorQueue.PushError(FormatError(-113, token));
            LogVerbose(server, "Socket[%X]: Error: invalid command!", static_cast<unsigned>(socket));
            // A newline ends the program message here; so does the end of the
            // input (delimiter 0), which keeps a following message whole.
            if (delimiter != '\n' && delimiter != 0) {
                result = channel.SkipThrough('\n');
            }
            responseBuffer.clear();
        } else {
            result = (this->*handler)(token, delimiter);
            if (result > 0) {
                if (delimiter == '\n' || delimiter == 0) {
                    Flush();
                } else if (delimiter != ';') {
                    LogVerbose(server, "Socket[%X]: Error: unexpected parameter or invalid program terminator '0x%X'!",
                               static_cast<unsigned>(socket),
                               static_cast<unsigned>(static_cast<int>(static_cast<int8_t>(delimiter))));
                    errorQueue.PushError(FormatError(-115));
                    result = channel.SkipThrough('\n');
                    responseBuffer.clear();
                }
            } else if (delimiter == '\n' || delimiter == 0) {
                Flush();
            }
        }
        if (result < 0) {
            break;
        }
    }
    EndSession(result);
}

void Connection::EndSession(long result)
{
    const bool control = channel.IsAsync();
    if (result == -1) {
        LogError(server,
                 control ? "Socket[%X]: Error: Control channel closed with error %d"
                         : "Socket[%X]: Error: Data channel closed with error %d",
                 static_cast<unsigned>(socket), platform::LastSocketError());
    } else if (result == 0) {
        LogVerbose(server, control ? "Socket[%X]: Control channel normally closed." : "Socket[%X]: Data channel normally closed.",
                   static_cast<unsigned>(socket));
    }
    ScopedLock guard(lock);
    platform::ShutdownBoth(socket);
    channel.CloseSession();
    CloseSocket(socket);
    // A block of up to 200 MiB need not stay allocated until this connection
    // serves its next client.
    channel.ReleaseBlockBuffer();
}

}  // namespace tarvos

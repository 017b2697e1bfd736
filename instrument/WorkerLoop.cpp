// The session worker: one iteration per program message unit.
#include "console/Server.h"
#include "instrument/CommandTable.h"
#include "log/Log.h"
#include "net/Connection.h"

namespace tarvos {

namespace {

// Units joined by ';' wait in the response buffer for the end of their
// program message. A response that reaches this size leaves as a non-final
// part and collecting goes on behind it, so a program message that never
// ends can't make the buffer grow without bound and nothing is dropped.
constexpr size_t kResponsePartSize = size_t{1} << 20;

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
    // Parts that already left belong to an exchange the clear has ended: the
    // response gets no end of its own.
    responseBuffer.clear();
    responseStarted = false;
    return true;
}

int Connection::AddResponse(const std::string& unit, uint8_t delimiter)
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
        if (responseBuffer.size() < kResponsePartSize) {
            return 1;
        }
        const int result =
            channel.SendResponsePart(responseBuffer.data(), static_cast<uint32_t>(responseBuffer.size()));
        responseBuffer.clear();
        responseStarted = true;
        return result;
    }
    responseBuffer += '\n';
    const int result = channel.SendResponse(responseBuffer);
    responseBuffer.clear();
    responseStarted = false;
    return result;
}

void Connection::Flush()
{
    if (ClearedDuringUnit()) {
        return;
    }
    if (!responseBuffer.empty() || responseStarted) {
        responseBuffer += '\n';
        channel.SendResponse(responseBuffer);
        responseBuffer.clear();
        responseStarted = false;
    }
}

void Connection::DropResponse()
{
    responseBuffer.clear();
    if (responseStarted) {
        Flush();
    }
}

void Connection::ResetSessionState()
{
    errorQueue.Clear();
    std::string().swap(responseBuffer);
    responseStarted = false;
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
    {
        // Past a rate a reader can follow, this connection's log lines are
        // counted instead of written (without -v); the lines that tell how the
        // connection ended are always written.
        ConnectionLogScope logScope(server);
        result = Serve();
    }
    EndSession(result);
}

long Connection::Serve()
{
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
            DropResponse();
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
                    DropResponse();
                }
            } else if (delimiter == '\n' || delimiter == 0) {
                Flush();
            }
        }
        if (result < 0) {
            break;
        }
    }
    return result;
}

void Connection::EndSession(long result)
{
    const bool control = channel.IsAsync();
    if (result == -1) {
        LogError(server,
                 control ? "Socket[%X]: Error: Control channel closed with error %d"
                         : "Socket[%X]: Error: Data channel closed with error %d",
                 static_cast<unsigned>(socket), channel.SocketError());
    } else if (result == 0) {
        LogVerbose(server, control ? "Socket[%X]: Control channel normally closed." : "Socket[%X]: Data channel normally closed.",
                   static_cast<unsigned>(socket));
    }
    {
        ScopedLock guard(lock);
        platform::ShutdownAndWake(socket);
    }
    // The socket stays open until CloseSocket below, so the stop can shut it
    // down meanwhile; the connection's lock is not held while the partner
    // channel is awaited, so counting clients never waits for it.
    channel.CloseSession();
    CloseSocket(socket);
    // A block of up to 200 MiB need not stay allocated until this connection
    // serves its next client.
    channel.ReleaseBlockBuffer();
}

}  // namespace tarvos

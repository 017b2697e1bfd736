// The session worker's loop: one iteration per program message unit.
#include "hislip/StatusBits.h"
#include "instrument/CommandTable.h"
#include "instrument/Instrument.h"
#include "log/Log.h"

namespace tarvos {

namespace {

void UpperCase(std::string& text)
{
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
}

}  // namespace

Instrument::Instrument(SyncChannel& sessionChannel)
    : channel(sessionChannel), faults(sessionChannel), responses(faults), log(sessionChannel.Log()), parser(sessionChannel, &sessionChannel.Memory())
{
    channel.AttachErrorQueue(errorQueue);
    CommandTable::FillOnce();
}

void Instrument::Reset()
{
    errorQueue.Clear();
    EndResponse();
    std::string().swap(responseBuffer);
    tokenTrace = true;
    ReleaseSessionMemory();
    sre = 0;
    ese = 0;
    stb = 0;
    esr = 0;
}

long Instrument::Serve()
{
    long result;
    // With a definition file, the sub-address of the session's Initialize
    // picks its instrument.
    if (const definition::Catalog* catalog = definition::Catalog::Installed(); catalog != nullptr) {
        result = AwaitFirstInput();
        if (result <= 0) {
            return result;
        }
        if (!channel.IsAsync()) {
            if (definition::DeviceInstance* device = catalog->Find(channel.SubAddress()); device != nullptr) {
                return ServeDevice(*device);
            }
            LogNotice(log, "WARNING: sub-address '%s' is bound to no resource of the definition file; "
                           "serving the built-in instrument",
                      channel.SubAddress().c_str());
        }
    }
    for (;;) {
        if (!errorQueue.Empty()) {
            stb |= kErrorQueueBit;
            channel.SetStatus(stb, sre);
        }
        std::string token;
        uint8_t delimiter = 0;
        unitClears = channel.CompletedClears();
        if (responseBuffer.empty() && !responseStarted) {
            faults.Idle();
        }
        result = parser.NextToken(token, delimiter, tokenTrace);
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
            LogVerbose(log, "Socket[%X]: Error: invalid command!", channel.TraceNumber());
            // A newline ends the program message here; so does the end of the
            // input (delimiter 0), which keeps a following message whole.
            if (delimiter != '\n' && delimiter != 0) {
                result = parser.SkipThrough('\n');
            }
            DropResponse();
        } else {
            result = (this->*handler)(token, delimiter);
            if (result > 0) {
                if (delimiter == '\n' || delimiter == 0) {
                    Flush();
                } else if (delimiter != ';') {
                    LogVerbose(log, "Socket[%X]: Error: unexpected parameter or invalid program terminator '0x%X'!",
                               channel.TraceNumber(),
                               static_cast<unsigned>(static_cast<int>(static_cast<int8_t>(delimiter))));
                    errorQueue.PushError(FormatError(-115));
                    result = parser.SkipThrough('\n');
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

}  // namespace tarvos

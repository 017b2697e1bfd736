// The synchronous role of a channel: the session it opens with Initialize,
// the program messages it receives (Data, DataEnd, Trigger), the end of a
// device clear, the lock gate before each message, and the responses of the
// session's instrument. Its program bytes are the ByteSource of the session's
// parser and the responses leave through it as its ResponseWriter; framing
// and sending are its Channel's.
#pragma once

#include <cstdint>
#include <string>

#include "hislip/ByteSource.h"
#include "hislip/ErrorQueueAccess.h"
#include "hislip/LookAhead.h"
#include "hislip/MemoryBudget.h"
#include "hislip/ReceiveResult.h"
#include "hislip/ResponseDecorator.h"
#include "hislip/ResponseWriter.h"
#include "hislip/TestFeatures.h"
#include "platform/Sync.h"

namespace tarvos {

class Channel;
class Session;

// Used by its channel's worker thread, except StartDiscard, which the
// partner's thread calls (it touches only what the Channel guards).
class SyncChannel final : public ByteSource, public ResponseWriter {
public:
    explicit SyncChannel(Channel& channel);
    SyncChannel(const SyncChannel&) = delete;
    SyncChannel& operator=(const SyncChannel&) = delete;

    // The instrument's error queue, which the engine fills with the
    // Interrupted entry and whose emptiness status queries report. Attached
    // once, by the instrument that owns the queue, before the channel serves.
    void AttachErrorQueue(ErrorQueueAccess& queue) { errorQueue = &queue; }

    // --- the parser's byte source (through the look-ahead) ---
    Taken PeekBytes(uint8_t* destination, uint32_t n) override { return lookAhead.Peek(destination, n); }
    Taken PeekJoined(uint8_t* destination, uint32_t n) override { return lookAhead.PeekJoined(destination, n); }
    Taken ReadBytes(uint8_t* destination, uint64_t n, InputEnd& end) override
    {
        return lookAhead.Read(destination, n, end);
    }
    unsigned TraceNumber() const override;
    LogState* Log() const override;

    // --- responses (see ResponseWriter) ---
    Answered SendResponseEnd(const void* data, uint32_t length) override;
    Answered SendResponsePart(const void* data, uint32_t length) override;
    Answered SendResponseParts(const platform::SendSlice* parts, uint32_t count) override;

    // --- status ---
    // Stores the instrument's status byte and enable mask in the session; a
    // service request goes out when the enabled part changes.
    void SetStatus(uint8_t status, uint8_t enable);
    // A test fault: sends the Interrupted pair for the current MessageID at
    // once, with the error entry and status of a late response; false when a
    // send failed.
    bool SignalInterrupted();

    // --- device clear ---
    // For the asynchronous channel of its session (shared): input is thrown
    // away until DeviceClearComplete, and the state that a clear resets is
    // reset with it.
    void StartDiscard(Session& shared);
    // How many device clears this channel has completed. The worker compares it
    // before and after a step to learn that a clear ended what the step was doing.
    uint32_t CompletedClears() const { return completedClears; }

    // The sub-address the client's Initialize named ("hislip0"; empty when it
    // named none).
    const std::string& SubAddress() const { return subAddress; }

    // --- what the instrument needs of the common channel ---
    bool IsAsync() const;
    TestFeatures& Features();
    platform::Event& ClearEvent();
    platform::Event& StopEvent();
    MemoryBudget& Memory() const;
    Sent SendProtocolError(bool fatal, uint8_t code);
    void ShutDownSession();
    // Channel::WaitWhileClientStays (defined in Channel.h).
    template <typename... Objects>
    auto WaitWhileClientStays(uint32_t timeoutMs, Objects&&... objects);

    // --- the message cases of this role, run by the channel's receive loop ---
    Step HandleInitialize();
    Step HandleData();
    Step HandleDeviceClearComplete(InputEnd& end);
    // The lock gate; false when the server stops or the client hangs up while
    // the message waits.
    bool WaitForLockAccess();
    // Program bytes of Data messages were delivered and no DataEnd (nor a
    // device clear) has ended their program message yet.
    bool InProgram() const { return programInProgress; }
    void SetInProgram(bool inProgram) { programInProgress = inProgram; }
    // Forgets the input and the sub-address of the last client.
    void Reset();

private:
    // AsyncInterrupted on the partner (when there is one), then Interrupted;
    // false when a send failed.
    bool SendInterruptedPair(uint32_t messageId, const char* asyncFailureText, bool quietWhenPeerGone);
    // New input has come, waiting or partly read: a response now is late
    // (synchronized mode). Input already received is seen without asking the
    // socket.
    bool ResponseIsLate();
    // Sends the service request that the session decided on, if any: it
    // leaves only once the session's lock is left, so a paced or stalled send
    // on the asynchronous channel never holds it.
    void SendDueServiceRequest();
    // Checks and books parts of a non-final response: false (after its log
    // lines) when they are dropped, else the MessageID of the first part and
    // whether each further part counts its own. Without lateCheck, pending
    // input doesn't drop them (it is the rest of their own program message).
    bool ClaimDataParts(uint32_t parts, uint32_t& firstId, bool& countIds, bool lateCheck);
    // A send as the ResponseWriter tells it.
    static Answered WriterResult(Sent sent)
    {
        return sent == Sent::Whole ? Answered::Sent : sent == Sent::Short ? Answered::Short : Answered::Failed;
    }
    // Sends booked response messages: the plain way, or through the decorator
    // that the hooks name while a test wants them other than plain.
    Sent SendResponseMessages(OutgoingMessages& messages);

    Channel& channel_;
    ErrorQueueAccess* errorQueue = nullptr;
    // The program bytes the parser has peeked at, taken from the channel's
    // receive loop.
    LookAhead lookAhead;
    // Counted by DeviceClearComplete.
    uint32_t completedClears = 0;
    bool programInProgress = false;
    std::string subAddress;
};

}  // namespace tarvos

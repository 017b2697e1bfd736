// The test faults of one session (the DIAG:FAULT commands): what is armed for
// the next response, and the response writer that stands between the
// instrument and its channel to apply it. SPLIT, DELAY, DROP and MSGID wait
// for the next response and are used up by it; SLOW paces the session's
// sending until it is cleared. A device clear disarms everything not yet
// fired. Used by the session's worker thread only.
#pragma once

#include <cstdint>
#include <string>

#include "hislip/Channel.h"
#include "hislip/ResponseWriter.h"

namespace tarvos {

class FaultFilter final : public ResponseWriter, public ResponseDecorator {
public:
    // The ranges of the commands' numbers; a number outside is refused with -222.
    static constexpr uint32_t kMaxSplit = uint32_t{1} << 20;  // bytes per Data message, from 1
    static constexpr uint32_t kMaxDelayMs = 60000;            // from 0
    static constexpr uint32_t kMaxPaceUs = 1000000;           // microseconds per byte, from 0
    static constexpr uint32_t kMaxErrorCode = 255;            // FatalError and Error codes, from 0

    explicit FaultFilter(SyncChannel& channel) : channel_(channel) {}
    FaultFilter(const FaultFilter&) = delete;
    FaultFilter& operator=(const FaultFilter&) = delete;

    // Arming for the next response; each replaces an earlier value.
    void ArmSplit(uint32_t size);
    void ArmDelay(uint32_t ms);
    void ArmDrop();
    void ArmStaleId();
    void ArmPace(uint32_t us);
    // Disarms every fault, the pace included; true when something was armed.
    bool Clear();
    // Nothing armed and no memory held, for a new session.
    void Reset();
    // The armed faults as "SPLIT,DELAY,..." or "NONE".
    std::string Armed();
    // The response now being collected leaves unfaulted and unpaced and uses
    // nothing up (it holds the answer of DIAG:FAULT?).
    void ExemptResponse() { exempt_ = true; }
    // No response is in progress: one that was abandoned half-way (a failed
    // send, dropped units) no longer holds its faults or its exemption.
    void Idle();

    Answered SendResponseEnd(const void* data, uint32_t length) override;
    Answered SendResponsePart(const void* data, uint32_t length) override;
    Answered SendResponseParts(const platform::SendSlice* parts, uint32_t count) override;

private:
    struct Faults {
        uint32_t split = 0;  // 0: not armed
        bool delay = false;
        uint32_t delayMs = 0;
        bool drop = false;
        bool staleId = false;

        bool Any() const { return split != 0 || delay || drop || staleId; }
    };

    // Disarms what a device clear has ended since the last look.
    void NoteClears();
    // At the first send of a response: takes the armed faults for it (none when
    // it is exempt) and waits out a DELAY.
    void Begin();
    // The response ends: nothing of it is kept.
    void End();
    // Decides how the next send of the response leaves (the cut goes with the
    // first) and puts this filter in the channel's response path when it
    // changes anything; the channel, to send through.
    ResponseWriter& Aim();
    // Sends the booked messages of the response as the faults want them: a
    // stale MessageID, cut, or unpaced.
    Sent Send(OutgoingMessages& messages, ResponseOutlet& plain) override;
    // About half of the messages' bytes, but at least a whole header and a
    // byte of payload and never all of them, then the session is shut down.
    static Sent Cut(const OutgoingMessages& messages, ResponseOutlet& plain);
    // Sends the first upto bytes of pending_ (a multiple of the split size) as
    // Data messages of the split size: checked like the parts of a file
    // answer when lateCheck (they stop once they are dropped), else like
    // those of a joined response (each is booked on its own).
    Answered SendPending(size_t upto, bool lateCheck);

    SyncChannel& channel_;
    Faults armed_;
    Faults current_;
    bool inResponse_ = false;
    bool exempt_ = false;
    // The send now aimed is cut.
    bool cutNow_ = false;
    uint32_t seenClears_ = 0;
    // Bytes of a split response that don't fill a message yet (fewer than the
    // split size between calls).
    std::string pending_;
};

}  // namespace tarvos

// The test features of a session that act on its protocol path: paced
// sending (both channels, byte by byte), the armed service request (sent
// before the next answer of the asynchronous channel) and the decorator of
// its responses (the faults of the instrument's fault filter). The pace and
// the armed request are the session's; all of them reach the channel through
// its ChannelHooks only.
#pragma once

#include <atomic>
#include <cstdint>

#include "hislip/ChannelHooks.h"
#include "platform/Sync.h"

namespace tarvos {

class Channel;

class TestFeatures final : public ChannelHooks {
public:
    static constexpr uint32_t kNoPace = 0xFFFFFFFFu;

    explicit TestFeatures(Channel& channel) : channel_(channel) {}
    TestFeatures(const TestFeatures&) = delete;
    TestFeatures& operator=(const TestFeatures&) = delete;

    // Paces the sending of both channels of the session: byte by byte, us
    // microseconds per byte, until disarmed (a device clear, the session's
    // end). kNoPace disarms.
    void PaceSession(uint32_t us);
    bool Paced() const { return pace_.load(std::memory_order_relaxed) != kNoPace; }
    // Arms a service request on the session's asynchronous channel: it leaves
    // before that channel's next answer.
    void ArmServiceRequest();
    // This channel's copy of the session's pace, which its sends follow
    // (kNoPace: none); set by the session.
    void SetPace(uint32_t us);

    // Puts decorator in the way of this channel's responses (null: the plain
    // way). For the channel's own thread.
    void DecorateResponses(ResponseDecorator* decorator) { decorator_ = decorator; }

    void BeforeAsyncAnswer() override;
    bool ShapesSend() const override { return Paced(); }
    // Waits until the byte is due by the pace; a disarmed pace or the stop
    // ends the wait at once.
    void BeforeByte(uint64_t startMs, uint32_t index) override;
    void On(Event event) override;
    ResponseDecorator* Decorator() const override { return decorator_; }

private:
    Channel& channel_;
    // Microseconds per byte; every change bumps paceChanges_, which ends a
    // pause begun before it.
    std::atomic<uint32_t> pace_ {kNoPace};
    platform::ChangeCounter paceChanges_;
    ResponseDecorator* decorator_ = nullptr;
};

}  // namespace tarvos

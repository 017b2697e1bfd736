#include "hislip/TestFeatures.h"

#include "hislip/Channel.h"
#include "hislip/Session.h"
#include "hislip/StatusBits.h"

namespace tarvos {

void TestFeatures::SetPace(uint32_t us)
{
    pace_.store(us, std::memory_order_relaxed);
    paceChanges_.Bump();
}

void TestFeatures::PaceSession(uint32_t us)
{
    Session* const session = channel_.OwnSession();
    if (session != nullptr) {
        session->SetPace(us);
    } else {
        SetPace(us);
    }
}

void TestFeatures::ArmServiceRequest()
{
    Session* const session = channel_.OwnSession();
    if (session != nullptr) {
        session->ArmServiceRequest();
    }
}

void TestFeatures::BeforeAsyncAnswer()
{
    Session* const session = channel_.OwnSession();
    if (session != nullptr && session->TakeArmedRequest()) {
        channel_.Async().RequestServiceWithBit(kArmedRequestBit);
    }
}

void TestFeatures::BeforeByte(uint64_t startMs, uint32_t index)
{
    const uint64_t seen = paceChanges_.Value();
    const uint32_t us = pace_.load(std::memory_order_relaxed);
    if (us == kNoPace) {
        return;
    }
    // Byte index is due index * us after the message began; the waits have
    // millisecond steps, so below 1000 us several bytes leave between two.
    const uint64_t dueMs = static_cast<uint64_t>(index) * us / 1000;
    const uint64_t elapsed = platform::NowMs() - startMs;
    if (dueMs > elapsed) {
        channel_.WaitWhileClientStays(static_cast<uint32_t>(dueMs - elapsed),
                                      platform::Waitable(paceChanges_, seen), channel_.StopEvent());
    }
}

void TestFeatures::On(Event event)
{
    switch (event) {
    case Event::ClearBegins:
    case Event::ClearCompleted:
    case Event::SessionEnds:
        // A clear disarms the session's pace at its start, so that neither
        // channel's pauses hold the clear up; the session's end ends them too.
        PaceSession(kNoPace);
        break;
    case Event::Reset:
        SetPace(kNoPace);
        decorator_ = nullptr;
        break;
    }
}

}  // namespace tarvos

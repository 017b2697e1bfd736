// A session on its own: members pinned and leaving (a leave waits for the pins
// on its member without polling), service requests decided once and only with
// an asynchronous channel, status queries that settle MAV and RMT-delivered,
// responses numbered in either mode or turned late, and the invariants after
// every step.
#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hislip/Session.h"
#include "hislip/StatusBits.h"

namespace tarvos {
namespace {

class FakeErrorQueue final : public ErrorQueueAccess {
public:
    void PushError(const std::string& entry) override { entries.push_back(entry); }
    bool Empty() const override { return entries.empty(); }
    std::vector<std::string> entries;
};

class SessionTest : public ::testing::Test {
protected:
    SessionTest()
    {
        ScopedLock guard(log.logLock);
        stream = std::tmpfile();
        log.logStream = stream;
        log.verbose = false;
    }
    ~SessionTest() override
    {
        EXPECT_EQ(session.CheckInvariants(), "");
        {
            ScopedLock guard(log.logLock);
            log.logStream = nullptr;
        }
        std::fclose(stream);
    }
    // The members only hand back their addresses.
    Channel* Fake(int i) { return reinterpret_cast<Channel*>(&channels_[i]); }
    std::string Logged()
    {
        std::string text;
        std::rewind(stream);
        char chunk[512];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof(chunk), stream)) > 0) text.append(chunk, n);
        return text;
    }
    // A response to messageId that is never late.
    Session::Booking Respond(uint32_t messageId)
    {
        return session.BookFinal(messageId, [] { return false; }, [] { return false; });
    }
    void Pair()
    {
        session.Join(Session::Role::Sync, Fake(0));
        session.Join(Session::Role::Async, Fake(1));
    }

    int channels_[2] = {};
    LogState log;
    std::FILE* stream = nullptr;
    FakeErrorQueue queue;
    std::atomic<int> live {0};
    Session session {&log, queue, live};
    std::atomic<bool> notDiscarding {false};
    LockTable locks;
};

TEST_F(SessionTest, ALeaveWaitsForThePinsOnItsMemberAndNoNewPinIsTakenMeanwhile)
{
    EXPECT_EQ(live.load(), 1);
    EXPECT_EQ(session.Pin(Session::Role::Async), nullptr);
    Pair();
    // The synchronous channel's thread uses the asynchronous channel twice at once.
    Channel* first = session.Pin(Session::Role::Async);
    Channel* second = session.Pin(Session::Role::Async);
    ASSERT_EQ(first, Fake(1));
    ASSERT_EQ(second, Fake(1));

    auto left = std::async(std::launch::async, [&] { session.Leave(Session::Role::Async); });
    EXPECT_EQ(left.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    EXPECT_EQ(session.Pin(Session::Role::Async), nullptr);
    session.Unpin(Session::Role::Async);
    EXPECT_EQ(left.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    const auto released = std::chrono::steady_clock::now();
    session.Unpin(Session::Role::Async);
    ASSERT_EQ(left.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_LT(std::chrono::steady_clock::now() - released, std::chrono::seconds(1));

    // The other member is untouched, and a role nobody pins leaves at once.
    Channel* sync = session.Pin(Session::Role::Sync);
    EXPECT_EQ(sync, Fake(0));
    session.Unpin(Session::Role::Sync);
    session.Leave(Session::Role::Sync);
    EXPECT_EQ(session.Pin(Session::Role::Sync), nullptr);
}

TEST_F(SessionTest, AServiceRequestIsDueOnceWithAnAsynchronousChannelUntilAStatusQuerySettlesIt)
{
    uint8_t status = 0;
    // Alone, the synchronous channel has nobody to send a request to.
    session.Join(Session::Role::Sync, Fake(0));
    session.SetStatus(kEventSummaryBit, kEventSummaryBit);
    EXPECT_FALSE(session.TakeDueRequest(status));

    session.Join(Session::Role::Async, Fake(1));
    session.SetStatus(0, kEventSummaryBit);
    session.SetStatus(kEventSummaryBit, kEventSummaryBit);
    ASSERT_TRUE(session.TakeDueRequest(status));
    EXPECT_EQ(status, kEventSummaryBit | kRequestServiceBit);
    EXPECT_FALSE(session.TakeDueRequest(status));
    // Outstanding: another change asks for nothing until a query reports it.
    session.SetStatus(0, kEventSummaryBit);
    session.SetStatus(kEventSummaryBit, kEventSummaryBit);
    EXPECT_FALSE(session.TakeDueRequest(status));
    EXPECT_EQ(session.AnswerStatusQuery(kMessageIdBeforeFirst, false), kEventSummaryBit | kRequestServiceBit);
    EXPECT_EQ(session.AnswerStatusQuery(kMessageIdBeforeFirst, false), kEventSummaryBit);

    // MAV is never part of the stored status; a response with MAV enabled
    // asks for service with MAV set.
    session.SetStatus(kMavBit, kMavBit);
    EXPECT_FALSE(session.TakeDueRequest(status));
    session.MessageArrived(kMessageIdBeforeFirst + 2, false, notDiscarding, locks);
    EXPECT_EQ(Respond(kMessageIdBeforeFirst + 2).firstId, kMessageIdBeforeFirst + 2);
    ASSERT_TRUE(session.TakeDueRequest(status));
    EXPECT_EQ(status, kMavBit | kRequestServiceBit);

    // The armed bit shows in one status query and is gone from the next.
    EXPECT_EQ(session.RaiseRequestBit(kArmedRequestBit), kArmedRequestBit | kRequestServiceBit);
    EXPECT_EQ(session.AnswerStatusQuery(kMessageIdBeforeFirst + 2, false) & (kArmedRequestBit | kRequestServiceBit),
              kArmedRequestBit | kRequestServiceBit);
    EXPECT_EQ(session.AnswerStatusQuery(kMessageIdBeforeFirst + 2, false) & kArmedRequestBit, 0);
}

TEST_F(SessionTest, StatusQueriesReportMavOnlyForTheLastMessageUntilRmtDelivered)
{
    Pair();
    const uint32_t first = kMessageIdBeforeFirst + 2;
    session.MessageArrived(first, false, notDiscarding, locks);
    Respond(first);
    // A query that names an earlier message has overtaken a Data message: no MAV.
    EXPECT_EQ(session.AnswerStatusQuery(first - 2, false) & kMavBit, 0);
    Respond(first);
    EXPECT_EQ(session.AnswerStatusQuery(first, false) & kMavBit, kMavBit);
    // RMT-delivered with the query: the response was read.
    EXPECT_EQ(session.AnswerStatusQuery(first, true) & kMavBit, 0);
    EXPECT_EQ(Logged().find("RMT_delivered not expected"), std::string::npos);
    EXPECT_EQ(session.AnswerStatusQuery(first, true) & kMavBit, 0);
    EXPECT_NE(Logged().find("ERROR: RMT_delivered not expected"), std::string::npos);

    // A message that arrives while its predecessor's answer was not taken
    // makes that answer interrupted: the entry and the error bit.
    Respond(first);
    const Session::Arrival next = session.MessageArrived(first + 2, false, notDiscarding, locks);
    EXPECT_TRUE(next.interrupted);
    ASSERT_EQ(queue.entries.size(), 1u);
    EXPECT_EQ(queue.entries[0], "-410,\"Query INTERRUPTED\"");
    EXPECT_EQ(session.AnswerStatusQuery(first + 2, false) & (kErrorQueueBit | kMavBit), kErrorQueueBit);
    // With RMT-delivered the client took it: nothing is interrupted.
    Respond(first + 2);
    EXPECT_FALSE(session.MessageArrived(first + 4, true, notDiscarding, locks).interrupted);
    EXPECT_EQ(queue.entries.size(), 1u);
    // A skipped MessageID is only a warning.
    session.MessageArrived(first + 10, false, notDiscarding, locks);
    EXPECT_NE(Logged().find("WARNING: unexpected MessageID"), std::string::npos);
}

TEST_F(SessionTest, ResponsesAreNumberedByModeAndALateOrDiscardedOneNeverLeaves)
{
    Pair();
    const uint32_t first = kMessageIdBeforeFirst + 2;
    // Synchronized: every part carries the MessageID answered.
    Session::Booking parts = session.BookParts(3, first, true, [] { return false; }, [] { return false; });
    EXPECT_EQ(parts.outcome, Session::Booked::Sent);
    EXPECT_EQ(parts.firstId, first);
    EXPECT_FALSE(parts.countIds);
    EXPECT_EQ(Respond(first).firstId, first);

    // Late: the final part turns into the Interrupted entry; parts are
    // dropped only when the caller asks for the check.
    const Session::Booking late = session.BookFinal(first, [] { return false; }, [] { return true; });
    EXPECT_EQ(late.outcome, Session::Booked::Late);
    EXPECT_EQ(late.firstId, first);
    EXPECT_EQ(queue.entries.size(), 1u);
    EXPECT_EQ(session.BookParts(1, first, true, [] { return false; }, [] { return true; }).outcome,
              Session::Booked::Late);
    EXPECT_EQ(session.BookParts(1, first, false, [] { return false; }, [] { return true; }).outcome,
              Session::Booked::Sent);
    EXPECT_EQ(session.BookFinal(first, [] { return true; }, [] { return false; }).outcome,
              Session::Booked::Discarded);

    // A clear in overlapped mode: the session numbers its response messages
    // itself, each part its own, and knows no late responses.
    int cleared = 0;
    EXPECT_EQ(session.CompleteClear(true, [&] { ++cleared; }), kOverlapped);
    EXPECT_EQ(cleared, 1);
    EXPECT_EQ(session.ModeFlags(), kOverlapped);
    parts = session.BookParts(2, 1234, true, [] { return false; }, [] { return true; });
    EXPECT_EQ(parts.outcome, Session::Booked::Sent);
    EXPECT_TRUE(parts.countIds);
    EXPECT_EQ(parts.firstId, kMessageIdBeforeFirst + 2);
    EXPECT_EQ(session.BookFinal(1234, [] { return false; }, [] { return true; }).firstId,
              kMessageIdBeforeFirst + 6);
    // A status query for the last response message numbered shows no MAV.
    EXPECT_EQ(session.AnswerStatusQuery(kMessageIdBeforeFirst + 6, false) & kMavBit, 0);
    EXPECT_EQ(session.AnswerStatusQuery(kMessageIdBeforeFirst + 2, false) & kMavBit, kMavBit);

    // Back to synchronized mode: the numbering starts afresh.
    EXPECT_EQ(session.CompleteClear(false, [] {}), 0);
    EXPECT_EQ(Respond(first).firstId, first);
}

TEST_F(SessionTest, AReleaseNamingTheLastMessageIsImmediateAndAnotherWaitsForItsMessage)
{
    Pair();
    LockTable::SessionKey key = Fake(1);
    platform::Event stop;
    ASSERT_EQ(locks.RequestExclusive(key, 0, stop, [] { return false; }), LockTable::ExclusiveGrant::Granted);
    const uint32_t first = kMessageIdBeforeFirst + 2;
    session.MessageArrived(first, false, notDiscarding, locks);

    Session::ReleaseDecision decision = session.DecideRelease(first + 2, locks, key);
    EXPECT_FALSE(decision.immediate);
    EXPECT_EQ(decision.deferred, LockTable::Released::Exclusive);
    EXPECT_NE(locks.Read().lockState, 0);
    // The message the release names arrives: the lock goes with it.
    const Session::Arrival arrival = session.MessageArrived(first + 2, false, notDiscarding, locks);
    EXPECT_TRUE(arrival.released.exclusive);
    EXPECT_EQ(locks.Read().lockState, 0);

    ASSERT_EQ(locks.RequestExclusive(key, 0, stop, [] { return false; }), LockTable::ExclusiveGrant::Granted);
    decision = session.DecideRelease(first + 2, locks, key);
    EXPECT_TRUE(decision.immediate);
    EXPECT_EQ(decision.now.what, LockTable::Released::Exclusive);
    EXPECT_EQ(locks.Read().lockState, 0);
    EXPECT_EQ(locks.CheckInvariants(), "");
}

}  // namespace
}  // namespace tarvos

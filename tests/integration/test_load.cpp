// The server under load: many sessions querying at once, many short-lived
// connections one after another, and many idle sessions held open together.
// A control session opened at the start of each case must still answer at
// its end, and the server's threads, descriptors and memory must come back.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/HislipClient.h"
#include "tests/support/LoadScale.h"
#include "tests/support/ServerProcess.h"

namespace tarvos::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char kIdentity[] = "Brennic,Tarvos,4471.2209k05,V1.00\n";

class LoadTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Up to a thousand sessions are two thousand descriptors on this side too.
        rlimit limit{};
        if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
            limit.rlim_cur = limit.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
        ShrinkSanitizerQuarantine();
        server_ = std::make_unique<ServerProcess>();
        if (!server_->StartAndWaitReady({})) {
            server_.reset();
            return;
        }
        idleThreads_ = server_->ThreadCount();
        idleFds_ = server_->OpenFdCount();
    }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override
    {
        ASSERT_NE(server_, nullptr) << "server did not start";
        // Connections of an earlier case may still be ending.
        ExpectSettledAt(idleThreads_, idleFds_);
        ASSERT_TRUE(control_.Open(server_->Port())) << control_.lastError;
    }
    void TearDown() override { control_.Close(); }

    void ExpectControlAnswers()
    {
        const auto start = Clock::now();
        std::string answer;
        ASSERT_TRUE(control_.Query("*IDN?\n", answer)) << control_.lastError;
        EXPECT_EQ(answer, kIdentity);
        EXPECT_LT(MsSince(start), 1000.0);
    }
    // Waits until the server is back to the given thread and descriptor counts.
    static void ExpectSettledAt(size_t threads, size_t fds)
    {
        EXPECT_TRUE(Eventually([&] { return server_->ThreadCount() <= threads; }, 15000))
            << server_->ThreadCount() << " threads, " << threads << " before";
        EXPECT_TRUE(Eventually([&] { return server_->OpenFdCount() <= fds; }, 15000))
            << server_->OpenFdCount() << " descriptors, " << fds << " before";
    }

    static std::unique_ptr<ServerProcess> server_;
    static size_t idleThreads_;
    static size_t idleFds_;
    HislipSession control_;
};

std::unique_ptr<ServerProcess> LoadTest::server_;
size_t LoadTest::idleThreads_ = 0;
size_t LoadTest::idleFds_ = 0;

TEST_F(LoadTest, SixtyFourSessionsQueryAtOnceAndEveryAnswerIsTheirOwn)
{
    constexpr size_t kSessions = 64;
    const size_t queries = ScaledForServer(2000, 10);
    // Session IDs are handed out while a session waits for its second
    // channel, so sessions are opened one after another.
    std::vector<std::unique_ptr<HislipSession>> sessions;
    for (size_t i = 0; i < kSessions; ++i) {
        sessions.push_back(std::make_unique<HislipSession>());
        ASSERT_TRUE(sessions.back()->Open(server_->Port())) << "session " << i << ": " << sessions.back()->lastError;
    }

    std::atomic<size_t> answered{0};
    std::vector<std::string> failures(kSessions);
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (size_t i = 0; i < kSessions; ++i) {
        threads.emplace_back([&, i] {
            HislipSession& s = *sessions[i];
            std::string answer;
            for (size_t q = 0; q < queries; ++q) {
                // Every other query reads back a register value that only this
                // session wrote, so crossed answers show.
                const std::string value = std::to_string((i * 7 + q) % 256);
                const bool identity = q % 2 == 0;
                const std::string expected = identity ? kIdentity : value + "\n";
                if (!s.Query(identity ? "*IDN?\n" : "*ESE " + value + ";*ESE?\n", answer, 20000)) {
                    failures[i] = "query " + std::to_string(q) + ": " + s.lastError;
                    return;
                }
                if (answer != expected) {
                    failures[i] = "query " + std::to_string(q) + " answered \"" + answer + "\"";
                    return;
                }
                ++answered;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    const double ms = MsSince(start);
    std::printf("%zu x %zu queries in %.0f ms (%.0f per second)\n", kSessions, queries, ms,
        static_cast<double>(answered) * 1000.0 / ms);
    for (size_t i = 0; i < kSessions; ++i) EXPECT_EQ(failures[i], "") << "session " << i;
    EXPECT_EQ(answered.load(), kSessions * queries);
    ExpectControlAnswers();
}

TEST_F(LoadTest, TenThousandSequentialConnectionsLeaveNothingBehind)
{
    const size_t rounds = ScaledForServer(10000, 10);
    const size_t threads = server_->ThreadCount();
    const size_t fds = server_->OpenFdCount();
    // A few rounds first, so that the server's allocator and thread caches
    // have their working size when the memory baseline is taken.
    for (int i = 0; i < 50; ++i) {
        HislipSession s;
        ASSERT_TRUE(s.Open(server_->Port())) << s.lastError;
    }
    ExpectSettledAt(threads, fds);
    const size_t rss = server_->ResidentKiB();

    const auto start = Clock::now();
    for (size_t i = 0; i < rounds; ++i) {
        if (i % 4 == 0) {
            // A whole session, opened and dropped.
            HislipSession s;
            ASSERT_TRUE(s.Open(server_->Port())) << "round " << i << ": " << s.lastError;
        } else {
            // A bare connection, with or without an Initialize.
            HislipSocket s;
            ASSERT_TRUE(s.Connect(server_->Port())) << "round " << i << ": " << s.LastError();
            if (i % 4 == 1) {
                ASSERT_TRUE(s.Send(Msg::Initialize, 0, 0x01005456, "hislip0"));
            }
        }
    }
    std::printf("%zu connects in %.0f ms\n", rounds, MsSince(start));
    ExpectSettledAt(threads, fds);
    // A list that grew by a connection record (about 1 KiB) per client would show here.
    const size_t slack = kSanitizedBuild ? kMemorySlackKiB : 2 * 1024;
    EXPECT_LT(server_->ResidentKiB(), rss + slack) << "from " << rss << " KiB";
    ExpectControlAnswers();
}

TEST_F(LoadTest, ThousandIdleSessionsAllAnswer)
{
    const size_t count = ScaledForServer(1000, 5);
    const size_t threads = server_->ThreadCount();
    const size_t fds = server_->OpenFdCount();
    std::vector<std::unique_ptr<HislipSession>> sessions;
    const auto start = Clock::now();
    for (size_t i = 0; i < count; ++i) {
        sessions.push_back(std::make_unique<HislipSession>());
        ASSERT_TRUE(sessions.back()->Open(server_->Port())) << "session " << i << ": " << sessions.back()->lastError;
    }
    std::printf("%zu sessions open after %.0f ms, server at %zu KiB\n", count, MsSince(start),
        server_->ResidentKiB());
    EXPECT_EQ(server_->ThreadCount(), threads + 2 * count);
    // Wine keeps descriptors of its own for each socket.
    if (!UnderWine()) {
        EXPECT_EQ(server_->OpenFdCount(), fds + 2 * count);
    }
    ExpectControlAnswers();

    // Every one of them answers, the last opened first.
    for (size_t i = count; i-- > 0;) {
        std::string answer;
        ASSERT_TRUE(sessions[i]->Query("*IDN?\n", answer)) << "session " << i << ": " << sessions[i]->lastError;
        ASSERT_EQ(answer, kIdentity) << "session " << i;
    }
    sessions.clear();
    ExpectSettledAt(threads, fds);
    ExpectControlAnswers();
}

}  // namespace
}  // namespace tarvos::test

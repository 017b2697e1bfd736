// Short exchanges and expectations shared by the tests of locks, channel roles
// and session set-up: lock requests and releases by their response code, lock
// info as "exclusive,count", and whether a session's query is held back or
// answered at once.
#pragma once

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/HislipClient.h"
#include "tests/support/ServerProcess.h"

namespace tarvos::test {

inline const std::string kIdentityLine = "Brennic,Tarvos,4471.2209k05,V1.00\n";

// The AsyncLockResponse code of a request (exclusive without key), or 0xEE.
inline uint8_t LockCode(HislipSession& s, uint32_t timeoutMs, const std::string& key = "")
{
    uint8_t response = 0xEE;
    EXPECT_TRUE(s.Lock(response, timeoutMs, key)) << s.lastError;
    return response;
}

// The AsyncLockResponse code of a release naming the last MessageID sent.
inline uint8_t UnlockCode(HislipSession& s)
{
    uint8_t response = 0xEE;
    EXPECT_TRUE(s.Unlock(response)) << s.lastError;
    return response;
}

// The AsyncLockResponse code of a release naming messageId.
inline uint8_t ReleaseNaming(HislipSession& s, uint32_t messageId)
{
    Message m;
    EXPECT_TRUE(s.async.Send(Msg::AsyncLock, 0, messageId)) << s.async.LastError();
    EXPECT_TRUE(s.ReceiveAsync(m, +Msg::AsyncLockResponse, 3000)) << s.lastError;
    return m.control;
}

// "exclusive,count" as AsyncLockInfoResponse reports it.
inline std::string LockInfoText(HislipSession& s)
{
    uint8_t exclusive = 0xEE;
    uint32_t count = 0xEE;
    EXPECT_TRUE(s.LockInfo(exclusive, count)) << s.lastError;
    return std::to_string(exclusive) + "," + std::to_string(count);
}

// Sends "*IDN?" and expects nothing back for a while: the lock gate holds it.
inline void ExpectHeldBack(HislipSession& s, int ms = 300)
{
    s.Write("*IDN?\n");
    EXPECT_TRUE(s.sync.ExpectSilence(ms)) << s.sync.LastError();
}

// The answer to a query that ExpectHeldBack sent arrives.
inline void ExpectReleased(HislipSession& s)
{
    std::string answer;
    EXPECT_TRUE(s.ReadResponse(answer, nullptr, 3000)) << s.lastError;
    EXPECT_EQ(answer, kIdentityLine);
}

// A session that has nothing to do with what a test provokes is served at once.
inline void ExpectAnsweredAtOnce(HislipSession& s)
{
    const auto start = std::chrono::steady_clock::now();
    std::string answer;
    ASSERT_TRUE(s.Query("*IDN?\n", answer, 2000)) << s.lastError;
    EXPECT_EQ(answer, kIdentityLine);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

// The server closes the connection without sending anything.
inline void ExpectClosedSilently(HislipSocket& s, const std::string& what)
{
    Message m;
    EXPECT_FALSE(s.Receive(m, 5000)) << what << ": got " << Describe(m);
    EXPECT_EQ(s.LastError(), "closed by peer") << what;
}

// The space bar's status block shows this lock state and sharer count.
inline void ExpectConsoleShows(ServerProcess& server, const std::string& state, int sharers)
{
    const std::string block = "Global lock state of server       : " + state +
                              "\nNumber of clients that share the shared lock: " + std::to_string(sharers) + "\n";
    const size_t before = server.CountInStdout(block);
    server.SendKeys(" ");
    const std::string out = server.Stdout();
    EXPECT_TRUE(server.WaitForStdout(block, 2000, before + 1))
        << "wanted:\n" << block << "console ends with:\n" << (out.size() > 300 ? out.substr(out.size() - 300) : out);
}

}  // namespace tarvos::test

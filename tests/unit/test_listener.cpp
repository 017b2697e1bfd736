// The two listeners and the connection registry, in process: a Server on a
// run-time port, reached with plain TCP connections.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "console/Server.h"
#include "net/Listener.h"
#include "tests/support/HislipClient.h"
#include "tests/support/ServerProcess.h"

namespace {

using tarvos::test::HislipSocket;

std::mutex g_debugMutex;
std::vector<std::string> g_debugLines;

void CollectDebugLine(const char* line)
{
    std::lock_guard<std::mutex> guard(g_debugMutex);
    g_debugLines.push_back(line);
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 5000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Runs fn on its own thread; false if it has not returned within timeoutMs
// (the thread is then left behind so that the test itself cannot hang).
bool FinishesWithin(std::function<void()> fn, int timeoutMs)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread([fn = std::move(fn), done] {
        fn();
        *done = true;
    }).detach();
    return WaitUntil([&] { return done->load(); }, timeoutMs);
}

class ListenerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        {
            std::lock_guard<std::mutex> guard(g_debugMutex);
            g_debugLines.clear();
        }
        log = std::tmpfile();
        ASSERT_NE(log, nullptr);
        server = new tarvos::Server();
        {
            tarvos::ScopedLock guard(server->logLock);
            server->debugSink = &CollectDebugLine;
        }
        server->SetVerbose(true);
        server->SetLogStream(log);
        port = tarvos::test::FreePort();
        ASSERT_NE(port, 0);
        server->SetPort(port);
        ASSERT_TRUE(server->Start());
    }
    void TearDown() override
    {
        if (server != nullptr) {
            tarvos::Server* s = server;
            hung = !FinishesWithin([s] { delete s; }, 15000);
            EXPECT_FALSE(hung) << "server destruction hangs";
        }
        // A server left behind may still write to its log.
        if (!hung) std::fclose(log);
    }
    std::string LogText()
    {
        std::fflush(log);
        std::rewind(log);
        std::string text;
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof(buffer), log)) > 0) text.append(buffer, n);
        return text;
    }
    static size_t Count(const std::string& text, const std::string& what)
    {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
        return n;
    }
    bool OpenCountIs(int n)
    {
        return WaitUntil([&] { return server->OpenConnectionCount() == n; });
    }

    tarvos::Server* server = nullptr;
    std::FILE* log = nullptr;
    uint16_t port = 0;
    bool hung = false;
};

TEST_F(ListenerTest, SequentialConnectionsReuseOneConnectionObject)
{
    for (int round = 0; round < 4; ++round) {
        HislipSocket client;
        ASSERT_TRUE(client.Connect(port)) << client.LastError();
        ASSERT_TRUE(OpenCountIs(1)) << "round " << round;
        client.Close();
        ASSERT_TRUE(OpenCountIs(0)) << "round " << round;
        EXPECT_EQ(server->ipv4Listener->ConnectionObjectCount(), 1u) << "round " << round;
    }
    EXPECT_EQ(server->ipv6Listener->ConnectionObjectCount(), 0u);

    // Two at once need two objects; afterwards both stay listed for reuse.
    HislipSocket a, b;
    ASSERT_TRUE(a.Connect(port));
    ASSERT_TRUE(b.Connect(port, "::1"));
    HislipSocket c;
    ASSERT_TRUE(c.Connect(port));
    ASSERT_TRUE(OpenCountIs(3));
    EXPECT_EQ(server->ipv4Listener->ConnectionObjectCount(), 2u);
    EXPECT_EQ(server->ipv6Listener->ConnectionObjectCount(), 1u);
    a.Close();
    b.Close();
    c.Close();
    EXPECT_TRUE(OpenCountIs(0));
    EXPECT_EQ(server->ipv4Listener->ConnectionObjectCount(), 2u);
}

TEST_F(ListenerTest, StartOfARunningThreadIsRefusedAndChangesNothing)
{
    EXPECT_TRUE(server->ipv4Listener->IsRunning());
    EXPECT_FALSE(server->ipv4Listener->Start());
    EXPECT_TRUE(server->ipv4Listener->IsRunning());
    HislipSocket client;
    ASSERT_TRUE(client.Connect(port)) << client.LastError();
    EXPECT_TRUE(OpenCountIs(1));
    EXPECT_EQ(Count(LogText(), "Terminating data channel server thread."), 0u);
}

TEST_F(ListenerTest, StopClosesConnectionsAndEndsBothListenerThreads)
{
    HislipSocket client;
    ASSERT_TRUE(client.Connect(port, "::1")) << client.LastError();
    ASSERT_TRUE(OpenCountIs(1));

    EXPECT_TRUE(FinishesWithin([s = server] { s->Stop(); }, 15000));
    EXPECT_TRUE(client.WaitClosed(2000));
    EXPECT_EQ(server->OpenConnectionCount(), 0);
    for (tarvos::Listener* listener : {server->ipv4Listener, server->ipv6Listener}) {
        EXPECT_FALSE(listener->IsRunning());
        EXPECT_FALSE(listener->HasThread());
    }
    EXPECT_EQ(Count(LogText(), "Tarvos:: Terminating data channel server thread.\n"), 2u);
    {
        std::lock_guard<std::mutex> guard(g_debugMutex);
        size_t acceptFailures = 0;
        for (const std::string& line : g_debugLines) {
            acceptFailures += line.rfind("Tarvos: Error: accept() failed with error ", 0) == 0 ? 1 : 0;
        }
        EXPECT_EQ(acceptFailures, 2u);
    }
    HislipSocket late;
    EXPECT_FALSE(late.Connect(port, "127.0.0.1", 1000));
    EXPECT_FALSE(late.Connect(port, "::1", 1000));
}

TEST_F(ListenerTest, DestructionWithOpenConnectionsEndsTheirWorkers)
{
    HislipSocket a, b;
    ASSERT_TRUE(a.Connect(port));
    ASSERT_TRUE(b.Connect(port, "::1"));
    ASSERT_TRUE(OpenCountIs(2));
    tarvos::Server* s = server;
    server = nullptr;
    hung = !FinishesWithin([s] { delete s; }, 15000);
    EXPECT_FALSE(hung);
    EXPECT_TRUE(a.WaitClosed(2000));
    EXPECT_TRUE(b.WaitClosed(2000));
}

}  // namespace

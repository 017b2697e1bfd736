// Log line assembly, prefixes, the 1999-character cut, the verbose gate and
// the rate limit of one connection's lines.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "log/Log.h"
#include "log/LogFlood.h"

namespace {

std::vector<std::string>* g_debugLines = nullptr;

void CollectDebugLine(const char* line)
{
    g_debugLines->push_back(line);
}

// A log state whose stream is a temporary file and whose debugger output is
// collected in memory.
class LogCapture : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_debugLines = &debugLines;
        stream = std::tmpfile();
        ASSERT_NE(stream, nullptr);
        tarvos::ScopedLock guard(state.logLock);
        state.debugSink = &CollectDebugLine;
        state.logStream = stream;
        state.verbose = true;
    }
    void TearDown() override
    {
        std::fclose(stream);
        g_debugLines = nullptr;
    }
    std::string StreamText()
    {
        std::fflush(stream);
        std::rewind(stream);
        std::string text;
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof(buffer), stream)) > 0) {
            text.append(buffer, n);
        }
        return text;
    }
    void SetVerbose(bool on)
    {
        tarvos::ScopedLock guard(state.logLock);
        state.verbose = on;
    }
    void SetStream(std::FILE* s)
    {
        tarvos::ScopedLock guard(state.logLock);
        state.logStream = s;
    }

    tarvos::LogState state;
    std::FILE* stream = nullptr;
    std::vector<std::string> debugLines;
};

TEST_F(LogCapture, EachOperationUsesItsPrefixAndDestination)
{
    tarvos::LogAlways(&state, "Error: accept() failed with error %d", 22);
    tarvos::LogVerbose(&state, "INFO: %s", "Lock granted");
    tarvos::LogError(&state, "ERROR: Invalid Prologue");

    ASSERT_EQ(debugLines.size(), 1u);
    EXPECT_EQ(debugLines[0], "Tarvos: Error: accept() failed with error 22\n");
    // A file is no terminal: the error line carries no colour sequence.
    EXPECT_EQ(StreamText(), "Tarvos:: INFO: Lock granted\nTarvos:: ERROR: Invalid Prologue\n");
}

TEST_F(LogCapture, VerboseOffSilencesOnlyVerboseLines)
{
    SetVerbose(false);
    tarvos::LogVerbose(&state, "INFO: hidden");
    tarvos::LogError(&state, "ERROR: shown");
    tarvos::LogAlways(&state, "Warning: shown");
    EXPECT_EQ(StreamText(), "Tarvos:: ERROR: shown\n");
    EXPECT_EQ(debugLines.size(), 1u);
    EXPECT_FALSE(tarvos::VerboseEnabled(&state));
}

TEST_F(LogCapture, VerboseOffNeverWaitsForTheLogLock)
{
    SetVerbose(false);
    // Another thread holds the lock for as long as it writes a line: with
    // verbose output off, a verbose line and the check don't wait for it.
    std::promise<void> held;
    std::promise<void> release;
    std::thread holder([&] {
        tarvos::ScopedLock guard(state.logLock);
        held.set_value();
        release.get_future().wait();
    });
    held.get_future().wait();
    auto gated = std::async(std::launch::async, [this] {
        tarvos::LogVerbose(&state, "INFO: hidden");
        return tarvos::VerboseEnabled(&state);
    });
    const bool returned = gated.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    release.set_value();
    holder.join();
    ASSERT_TRUE(returned) << "a verbose line waited for the log lock although verbose output is off";
    EXPECT_FALSE(gated.get());
    EXPECT_EQ(StreamText(), "");
}

TEST_F(LogCapture, WithoutStreamVerboseAndErrorLinesGoToDebugOutput)
{
    SetStream(nullptr);
    tarvos::LogVerbose(&state, "INFO: one");
    tarvos::LogError(&state, "ERROR: two");
    ASSERT_EQ(debugLines.size(), 2u);
    EXPECT_EQ(debugLines[0], "Tarvos:: INFO: one\n");
    EXPECT_EQ(debugLines[1], "Tarvos:: ERROR: two\n");
}

TEST_F(LogCapture, LongMessageIsCutTo1999Characters)
{
    const std::string message(3000, 'x');
    tarvos::LogVerbose(&state, "%s", message.c_str());
    EXPECT_EQ(StreamText(), "Tarvos:: " + std::string(1999, 'x') + "\n");
}

TEST_F(LogCapture, ConcurrentLinesStayWhole)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            const std::string body(300, static_cast<char>('a' + t));
            for (int i = 0; i < 200; ++i) {
                tarvos::LogVerbose(&state, "%s", body.c_str());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const std::string text = StreamText();
    size_t lines = 0;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        const std::string line = text.substr(start, end - start);
        ASSERT_EQ(line.size(), 9u + 300u);
        EXPECT_EQ(line.find_first_not_of(line[9], 9), std::string::npos) << "interleaved line";
        ++lines;
        start = end + 1;
    }
    EXPECT_EQ(lines, 800u);
}

// Feeds `lines` lines spread evenly over [startMs, startMs + spanMs); returns
// how many were admitted and adds the flood counts reported on the way.
uint32_t Feed(tarvos::LogFlood& flood, uint64_t startMs, uint64_t spanMs, uint32_t lines, uint64_t& reported)
{
    uint32_t admitted = 0;
    for (uint32_t i = 0; i < lines; ++i) {
        uint32_t ended = 0;
        admitted += flood.Admit(startMs + spanMs * i / lines, ended) ? 1 : 0;
        reported += ended;
    }
    return admitted;
}

TEST(LogFlood, LinesPastTheRateAreCountedAndReportedOnceTheFloodIsOver)
{
    tarvos::LogFlood flood;
    uint64_t reported = 0;
    // Below the rate everything is written and nothing is reported.
    EXPECT_EQ(Feed(flood, 1000, 1000, 100, reported), 100u);
    EXPECT_EQ(Feed(flood, 2000, 1000, 60, reported), 60u);
    EXPECT_EQ(reported, 0u);

    // Three seconds of 1000 lines each: 100 of each second are written, the
    // rest counted; the report waits for the end of the flood.
    for (uint64_t second = 3; second < 6; ++second) {
        EXPECT_EQ(Feed(flood, second * 1000, 1000, 1000, reported), 100u) << second;
    }
    EXPECT_EQ(reported, 0u);
    // A calm second: written in full; its end closes the flood.
    EXPECT_EQ(Feed(flood, 6000, 1000, 50, reported), 50u);
    EXPECT_EQ(reported, 0u);
    uint32_t ended = 0;
    EXPECT_TRUE(flood.Admit(7000, ended));
    EXPECT_EQ(ended, 2700u);
    EXPECT_EQ(flood.TakeSuppressed(), 0u);

    // A flood followed by silence is reported with the next line after it.
    Feed(flood, 8000, 500, 300, reported);
    EXPECT_TRUE(flood.Admit(12000, ended));
    EXPECT_EQ(ended, 200u);

    // A flood still going when its connection ends is handed over in full.
    Feed(flood, 13000, 100, 150, reported);
    EXPECT_EQ(flood.TakeSuppressed(), 50u);
    EXPECT_EQ(flood.TakeSuppressed(), 0u);
}

TEST_F(LogCapture, ConnectionScopeLimitsErrorLinesWithoutVerboseOnly)
{
    const auto errorLines = [](const std::string& text) {
        size_t n = 0;
        for (size_t at = text.find("ERROR: line"); at != std::string::npos; at = text.find("ERROR: line", at + 1)) ++n;
        return n;
    };
    // A thread without a connection scope is never limited.
    SetVerbose(false);
    for (int i = 0; i < 250; ++i) tarvos::LogError(&state, "ERROR: line %d", i);
    EXPECT_EQ(errorLines(StreamText()), 250u);

    // 250 lines at once from one connection: the first 100 as they are, then
    // one count of the rest when the connection ends.
    std::string before = StreamText();
    {
        tarvos::ConnectionLogScope scope(&state);
        for (int i = 0; i < 250; ++i) tarvos::LogError(&state, "ERROR: line %d", i);
        EXPECT_EQ(errorLines(StreamText().substr(before.size())), 100u);
    }
    std::string added = StreamText().substr(before.size());
    EXPECT_EQ(errorLines(added), 100u);
    EXPECT_NE(added.find("Tarvos:: ERROR: line 99\n"), std::string::npos);
    const std::string tail = "Tarvos:: ... 150 lines suppressed\n";
    ASSERT_GE(added.size(), tail.size());
    EXPECT_EQ(added.substr(added.size() - tail.size()), tail);

    // With verbose output the user asked for every line.
    SetVerbose(true);
    before = StreamText();
    {
        tarvos::ConnectionLogScope scope(&state);
        for (int i = 0; i < 250; ++i) tarvos::LogError(&state, "ERROR: line %d", i);
    }
    added = StreamText().substr(before.size());
    EXPECT_EQ(errorLines(added), 250u);
    EXPECT_EQ(added.find("suppressed"), std::string::npos);
}

}  // namespace

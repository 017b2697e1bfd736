// Log line assembly, prefixes, the 1999-character cut and the verbose gate.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "log/Log.h"

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

}  // namespace

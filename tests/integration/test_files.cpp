// MMEM:DATA and MMEM:DATA? against a server running in a fresh working
// directory: round trips, the answer's message layout, the failure entries
// and the confinement of file names to the working directory.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/FileServerTest.h"

namespace tarvos::test {
namespace {

namespace fs = std::filesystem;

constexpr size_t kChunk = 4096;

// An answer to MMEM:DATA? taken apart message by message.
struct BlockAnswer {
    std::string header;     // payload of the first Data message
    std::string data;       // the chunks that follow
    size_t chunks = 0;
    size_t largestChunk = 0;
    std::string end;        // payload of the closing DataEnd
    std::string problem;    // empty when the layout was as expected
};

class FilesTest : public FileServerTest<FilesTest> {
protected:
    BlockAnswer Fetch(const std::string& name, const std::string& header = "MMEM:DATA?")
    {
        BlockAnswer a;
        s_.Write(header + " '" + name + "'\n");
        Message m;
        if (!s_.sync.ReceiveType(m, Msg::Data, 10000)) {
            a.problem = "no block header: " + s_.sync.LastError() + " " + Describe(m);
            return a;
        }
        a.header = m.payload;
        for (;;) {
            if (!s_.sync.Receive(m, 10000)) {
                a.problem = "answer cut off: " + s_.sync.LastError();
                return a;
            }
            if (m.type == +Msg::DataEnd) break;
            if (m.type != +Msg::Data) {
                a.problem = "unexpected " + Describe(m);
                return a;
            }
            ++a.chunks;
            a.largestChunk = std::max(a.largestChunk, m.payload.size());
            a.data += m.payload;
        }
        a.end = m.payload;
        s_.rmtPending = true;
        return a;
    }

    void ExpectRoundTrip(const std::string& name, const std::string& data)
    {
        SCOPED_TRACE(name + " with " + std::to_string(data.size()) + " bytes");
        Store(name, data);
        const BlockAnswer a = Fetch(name);
        ASSERT_EQ(a.problem, "");
        EXPECT_TRUE(ReadDisk(work_ / name) == data);
        const std::string block = BlockOf(data);
        EXPECT_EQ(a.header, block.substr(0, block.size() - data.size()));
        EXPECT_EQ(a.data.size(), data.size());
        EXPECT_TRUE(a.data == data);
        EXPECT_EQ(a.chunks, (data.size() + kChunk - 1) / kChunk);
        EXPECT_LE(a.largestChunk, kChunk);
        EXPECT_EQ(a.end, "\n");
    }
};

TEST_F(FilesTest, FilesRoundTripInChunksOfAtMost4096Bytes)
{
    for (size_t size : {5, 1234, 4096, 10000}) ExpectRoundTrip("file" + std::to_string(size) + ".bin", Pattern(size));
    ExpectRoundTrip("big.bin", Pattern(size_t{50} << 20));
    EXPECT_EQ(NextError(), "0,\"No error\"\n");
}

TEST_F(FilesTest, EmptyBlockIsRejectedAndCreatesNoFile)
{
    Store("empty.bin", "");
    EXPECT_EQ(NextError(), "-160,\"Block data error\"\n");
    EXPECT_FALSE(fs::exists(work_ / "empty.bin"));
}

TEST_F(FilesTest, RewritingReplacesTheWholeFile)
{
    ExpectRoundTrip("again.bin", Pattern(1234));
    ExpectRoundTrip("again.bin", "short");
    EXPECT_EQ(fs::file_size(work_ / "again.bin"), 5u);
}

TEST_F(FilesTest, MissingFileIsNotAnswered)
{
    const size_t lines = server_->CountInStdout("Can not open file!\n");
    s_.Write("MMEM:DATA? 'absent.bin'\n");
    EXPECT_TRUE(s_.sync.ExpectSilence(300)) << s_.sync.LastError();
    EXPECT_EQ(NextError(), "-256,\"File name not found\"\n");
    EXPECT_TRUE(server_->WaitForStdout("Can not open file!\n", 2000, lines + 1));
}

TEST_F(FilesTest, MissingDirectoryIsMediaProtected)
{
    const size_t lines = server_->CountInStdout("Cannot write file\n\n");
    Store("nodir/x.bin", "hello");
    EXPECT_EQ(NextError(), "-258,\"Media protected;Cannot write file\"\n");
    EXPECT_TRUE(server_->WaitForStdout("Cannot write file\n\n", 2000, lines + 1));
    EXPECT_FALSE(fs::exists(work_ / "nodir"));
}

TEST_F(FilesTest, NamesLeavingTheWorkingDirectoryAreRefused)
{
    const fs::path outside = base_ / "outside.txt";
    WriteDisk(outside, "keep me");
    const std::string refused = "-257,\"File name error\"\n";
    const size_t writeLines = server_->CountInStdout("Cannot write file\n\n");
    const size_t readLines = server_->CountInStdout("Can not open file!\n");

    const std::vector<std::string> names = {
        "../outside.txt", "sub/../../outside.txt", "..\\outside.txt", outside.string(), (base_ / "new.txt").string()};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        Store(name, "overwritten");
        EXPECT_EQ(NextError(), refused);
        s_.Write("MMEM:DATA? '" + name + "'\n");
        EXPECT_TRUE(s_.sync.ExpectSilence(100)) << s_.sync.LastError();
        EXPECT_EQ(NextError(), refused);
    }
    EXPECT_EQ(ReadDisk(outside), "keep me");
    EXPECT_FALSE(fs::exists(base_ / "new.txt"));
    EXPECT_EQ(std::distance(fs::directory_iterator(base_), fs::directory_iterator()), 2);  // work/ and outside.txt
    EXPECT_FALSE(fs::exists(work_ / "sub"));
    EXPECT_TRUE(server_->WaitForStdout("Cannot write file\n\n", 2000, writeLines + names.size()));
    EXPECT_TRUE(server_->WaitForStdout("Can not open file!\n", 2000, readLines + names.size()));
}

TEST_F(FilesTest, SubdirectoriesWorkAndNamesKeepTheirCase)
{
    fs::create_directories(work_ / "Sub" / "deeper");
    ExpectRoundTrip("Sub/deeper/MixedCase.Bin", "xyz");
    ExpectRoundTrip("..dots..in..name", "abc");
    EXPECT_TRUE(fs::exists(work_ / "Sub" / "deeper" / "MixedCase.Bin"));
    EXPECT_FALSE(fs::exists(work_ / "sub"));

    // The header is case-insensitive, the name is not.
    const BlockAnswer a = Fetch("Sub/deeper/MixedCase.Bin", ":mmem:data?");
    ASSERT_EQ(a.problem, "");
    EXPECT_EQ(a.data, "xyz");
    if (UnderWine()) {
        // Windows finds a file whatever the case of its name.
        const BlockAnswer b = Fetch("sub/deeper/mixedcase.bin", "MMEM:DATA?");
        ASSERT_EQ(b.problem, "");
        EXPECT_EQ(b.data, "xyz");
        return;
    }
    s_.Write("MMEM:DATA? 'sub/deeper/mixedcase.bin'\n");
    EXPECT_TRUE(s_.sync.ExpectSilence(200)) << s_.sync.LastError();
    EXPECT_EQ(NextError(), "-256,\"File name not found\"\n");
}

TEST_F(FilesTest, MassStorageQueriesAnswerFixedValues)
{
    std::string answer;
    ASSERT_TRUE(s_.Query(":MMEM:MSIS?\n", answer)) << s_.lastError;
    EXPECT_EQ(answer, "C:\n");
    ASSERT_TRUE(s_.Query(":MMEM:CDIR?\n", answer)) << s_.lastError;
    EXPECT_EQ(answer, "\\\n");
    s_.Write("MMEM:MSIS?\n");
    EXPECT_EQ(NextError(), "-113,\"Undefined header;MMEM:MSIS?\"\n");
}

}  // namespace
}  // namespace tarvos::test

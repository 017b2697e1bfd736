// MMEM:DATA? when nobody takes the answer any more: a late answer drops the
// parts it has read (one log line each) and reads no further, and a device
// clear or a closed connection ends the reading of a huge file at once.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/FileServerTest.h"
#include "tests/support/LoadScale.h"

namespace tarvos::test {
namespace {

namespace fs = std::filesystem;

constexpr char kAbortLine[] = "INFO: abort output due to Interrupted Error";
const char kIdentity[] = "Brennic,Tarvos,4471.2209k05,V1.00\n";
constexpr uint64_t kHugeFile = uint64_t{4} << 30;
// What the server may read of the huge file before it notices: a few bursts
// of parts and whatever the socket buffers of both ends hold.
constexpr uint64_t kReadAllowance = uint64_t{64} << 20;

class FileAnswerTest : public FileServerTest<FileAnswerTest> {
public:
    // Hooks of the fixture.
    static void Prepare()
    {
        WriteDisk(work_ / "ten.bin", Pattern(10000));
        // Sparse: 4 GiB that cost no disk space, read at memory speed.
        WriteDisk(work_ / "huge.bin", "");
        fs::resize_file(work_ / "huge.bin", kHugeFile);
    }
    static std::vector<std::string> ServerArgs() { return {"-v"}; }

protected:
    // A query for name followed at once by *IDN?: the answer is late before
    // it begins. Expects the Interrupted pair and the identification.
    void SendLateQuery(const std::string& name)
    {
        const uint32_t first = s_.nextMessageId;
        const std::string both = EncodeMessage(+Msg::DataEnd, 0, first, "MMEM:DATA? '" + name + "'\n") +
                                 EncodeMessage(+Msg::DataEnd, 0, first + 2, "*IDN?\n");
        s_.nextMessageId += 4;
        ASSERT_TRUE(s_.sync.SendRaw(both)) << s_.sync.LastError();
        Message m;
        ASSERT_TRUE(s_.ReceiveAsync(m, +Msg::AsyncInterrupted, 10000)) << s_.lastError;
        EXPECT_EQ(m.param, first);
        ASSERT_TRUE(s_.sync.ReceiveType(m, Msg::Interrupted, 10000)) << s_.sync.LastError() << " " << Describe(m);
        EXPECT_EQ(m.param, first);
        std::string answer;
        ASSERT_TRUE(s_.ReadResponse(answer, nullptr, 10000)) << s_.lastError;
        EXPECT_EQ(answer, kIdentity);
    }

};

TEST_F(FileAnswerTest, LateAnswerLogsOneAbortLinePerDroppedPart)
{
    const size_t before = server_->CountInStderr(kAbortLine);
    SendLateQuery("ten.bin");
    // The header part and three parts of at most 4096 bytes.
    EXPECT_TRUE(server_->WaitForStderr(kAbortLine, 2000, before + 4));
    EXPECT_EQ(NextError(), "-410,\"Query INTERRUPTED\"\n");
    EXPECT_EQ(server_->CountInStderr(kAbortLine), before + 4);
}

TEST_F(FileAnswerTest, LateAnswerOfAHugeFileReadsNoFurther)
{
    const size_t lines = server_->CountInStderr(kAbortLine);
    const uint64_t read = server_->FileBytesRead();
    SendLateQuery("huge.bin");
    EXPECT_EQ(NextError(), "-410,\"Query INTERRUPTED\"\n");
    EXPECT_LT(server_->FileBytesRead() - read, kReadAllowance);
    EXPECT_LT(server_->CountInStderr(kAbortLine) - lines, 100u);
}

TEST_F(FileAnswerTest, DeviceClearDuringAHugeAnswerStopsTheReading)
{
    const uint64_t read = server_->FileBytesRead();
    s_.Write("MMEM:DATA? 'huge.bin'\n");
    Message m;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(s_.sync.ReceiveType(m, Msg::Data, 10000)) << s_.sync.LastError() << " " << Describe(m);
    }
    ASSERT_TRUE(s_.DeviceClear(false, nullptr, nullptr, 20000)) << s_.lastError;
    EXPECT_LT(server_->FileBytesRead() - read, kReadAllowance);
    std::string answer;
    ASSERT_TRUE(s_.Query("*IDN?\n", answer)) << s_.lastError;
    EXPECT_EQ(answer, kIdentity);
    EXPECT_EQ(NextError(), "0,\"No error\"\n");
}

TEST_F(FileAnswerTest, ClosingDuringAHugeAnswerStopsTheReading)
{
    const size_t fds = server_->OpenFdCount();
    const size_t threads = server_->ThreadCount();
    const uint64_t read = server_->FileBytesRead();
    {
        HislipSession t;
        ASSERT_TRUE(t.Open(server_->Port())) << t.lastError;
        t.Write("MMEM:DATA? 'huge.bin'\n");
        Message m;
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(t.sync.ReceiveType(m, Msg::Data, 10000)) << t.sync.LastError() << " " << Describe(m);
        }
    }
    // The session's workers end and give their descriptors back.
    EXPECT_TRUE(Eventually([&] { return server_->OpenFdCount() <= fds && server_->ThreadCount() <= threads; },
        20000));
    EXPECT_LT(server_->FileBytesRead() - read, kReadAllowance);
    std::string answer;
    ASSERT_TRUE(s_.Query("*IDN?\n", answer)) << s_.lastError;
    EXPECT_EQ(answer, kIdentity);
}

}  // namespace
}  // namespace tarvos::test

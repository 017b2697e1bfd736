// MMEM:DATA against the real server: a file is replaced only by a block that
// arrived whole and was written whole. Device clears, blocks cut short,
// closed connections, a full file system, concurrent uploads to one name and a
// killed server all leave the target as it was; large blocks stream through
// bounded memory and come back byte for byte.
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/FileServerTest.h"
#include "tests/support/LoadScale.h"

namespace tarvos::test {
namespace {

namespace fs = std::filesystem;

constexpr char kNoError[] = "0,\"No error\"\n";
constexpr size_t kPiece = size_t{1} << 20;

// A fresh directory below /tmp, removed with everything in it.
class ScratchDir {
public:
    ScratchDir()
    {
        char pattern[] = "/tmp/tarvos-uploads-XXXXXX";
        if (::mkdtemp(pattern) != nullptr) path_ = pattern;
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
    }
    const fs::path& Path() const { return path_; }

private:
    fs::path path_;
};

// Sends a Data message (no END) with the session's next MessageID,
// acknowledging the last response read.
bool SendData(HislipSession& s, const std::string& payload)
{
    const bool sent = s.sync.Send(Msg::Data, s.rmtPending ? 1 : 0, s.nextMessageId, payload);
    s.nextMessageId += 2;
    s.rmtPending = false;
    return sent;
}

// MMEM:DATA of size pattern bytes as one DataEnd message written in 1 MiB
// pieces, then *OPC? to wait for the server. progress (if given) is called
// after each piece with the data bytes sent. Returns the checksum of the data,
// or 0 after a failure (reported into failure).
uint64_t UploadStreamed(HislipSession& s, const std::string& name, uint64_t size, unsigned seed,
    std::string& failure, const std::function<void(uint64_t)>& progress = {})
{
    const std::string head = "MMEM:DATA '" + name + "'," + BlockHeader(size);
    const uint32_t id = s.nextMessageId;
    s.nextMessageId += 2;
    const uint8_t rmt = s.rmtPending ? 1 : 0;
    s.rmtPending = false;
    if (!s.sync.SendRaw(EncodeHeader(+Msg::DataEnd, rmt, id, head.size() + size + 1) + head)) {
        failure = "header: " + s.sync.LastError();
        return 0;
    }
    Checksum sum;
    std::string piece;
    for (uint64_t sent = 0; sent < size;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kPiece, size - sent));
        piece.resize(n);
        for (size_t i = 0; i < n; ++i) piece[i] = PatternByte(sent + i, seed);
        sum.Add(piece);
        if (!s.sync.SendRaw(piece)) {
            failure = "data: " + s.sync.LastError();
            return 0;
        }
        sent += n;
        if (progress) progress(sent);
    }
    std::string answer;
    if (!s.sync.SendRaw("\n") || !s.Query("*OPC?\n", answer, 60000) || answer != "1\n") {
        failure = "*OPC?: " + s.lastError + " " + answer;
        return 0;
    }
    return sum.Value();
}

class UploadTest : public FileServerTest<UploadTest> {
protected:
    static fs::path Work() { return work_; }
    static bool NoPartFiles() { return PartFiles(work_).empty(); }

    void ExpectStored(const std::string& name, const std::string& data)
    {
        Store(name, data);
        EXPECT_EQ(NextError(), kNoError);
        EXPECT_TRUE(ReadDisk(work_ / name) == data) << name;
    }
};

TEST_F(UploadTest, DeviceClearDuringTheBlockWritesNothingAndQueuesNothing)
{
    const std::string old = Pattern(12000, 1);
    WriteDisk(Work() / "cleared.bin", old);

    // Half of a 100,000-byte block, then a device clear.
    const std::string head = "MMEM:DATA 'cleared.bin'," + BlockHeader(100000);
    ASSERT_TRUE(SendData(s_, head + Pattern(50000 - head.size(), 2)));
    ASSERT_TRUE(Eventually([] { return !NoPartFiles(); }, 5000)) << "the block is not being stored as it arrives";
    ASSERT_TRUE(s_.DeviceClear()) << s_.lastError;
    EXPECT_TRUE(Eventually(NoPartFiles, 5000));
    EXPECT_TRUE(ReadDisk(Work() / "cleared.bin") == old);
    EXPECT_EQ(NextError(), kNoError);

    // A clear while the server waits for the block's header.
    ASSERT_TRUE(SendData(s_, "MMEM:DATA 'cleared.bin',"));
    ASSERT_TRUE(s_.DeviceClear()) << s_.lastError;
    EXPECT_EQ(NextError(), kNoError);
    EXPECT_TRUE(ReadDisk(Work() / "cleared.bin") == old);

    // The session goes on, and the name takes a whole block.
    ExpectStored("cleared.bin", Pattern(3000, 3));
}

TEST_F(UploadTest, BlockCutShortIsInvalidAndAWholeOneReplacesTheFile)
{
    const std::string old = Pattern(12000, 4);
    WriteDisk(Work() / "short.bin", old);
    const std::string head = "MMEM:DATA 'short.bin'," + BlockHeader(100000);
    s_.Write(head + Pattern(60000 - head.size(), 5));
    EXPECT_EQ(NextError(), "-161,\"Invalid block data\"\n");
    EXPECT_TRUE(ReadDisk(Work() / "short.bin") == old);
    EXPECT_TRUE(NoPartFiles());

    // Spread over Data messages, cut short by the DataEnd.
    s_.WriteChunked(head + Pattern(99000, 5), 7000);
    EXPECT_EQ(NextError(), "-161,\"Invalid block data\"\n");
    EXPECT_TRUE(ReadDisk(Work() / "short.bin") == old);

    // A block whose last byte ends the DataEnd is whole.
    const std::string data = Pattern(100000, 6);
    s_.WriteChunked(head + data, 30000);
    EXPECT_EQ(NextError(), kNoError);
    EXPECT_TRUE(ReadDisk(Work() / "short.bin") == data);
    EXPECT_TRUE(NoPartFiles());
}

TEST_F(UploadTest, ConnectionClosedMidBlockLeavesTheFile)
{
    const std::string old = Pattern(5000, 7);
    WriteDisk(Work() / "closed.bin", old);
    {
        HislipSession t;
        ASSERT_TRUE(t.Open(server_->Port())) << t.lastError;
        const std::string head = "MMEM:DATA 'closed.bin'," + BlockHeader(1000000);
        ASSERT_TRUE(SendData(t, head + Pattern(300000, 8)));
        ASSERT_TRUE(Eventually([] { return !NoPartFiles(); }, 5000));
    }
    EXPECT_TRUE(Eventually(NoPartFiles, 5000));
    EXPECT_TRUE(ReadDisk(Work() / "closed.bin") == old);
    std::string answer;
    EXPECT_TRUE(s_.Query("*IDN?\n", answer)) << s_.lastError;
}

TEST_F(UploadTest, ConcurrentUploadsToOneNameLeaveOneBlockWhole)
{
    const uint64_t bigSize = Scaled(size_t{64} << 20, 4);
    const std::string small = Pattern(1024, 9);
    Checksum smallSum;
    smallSum.Add(small);
    WriteDisk(Work() / "shared.bin", small);
    HislipSession other;
    ASSERT_TRUE(other.Open(server_->Port())) << other.lastError;

    Checksum expected;
    for (uint64_t i = 0; i < bigSize; ++i) {
        const char c = PatternByte(i, 10);
        expected.Add(&c, 1);
    }

    const int trials = kSanitizedBuild ? 3 : 10;
    for (int trial = 0; trial < trials; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        std::atomic<bool> bigDone{false};
        std::string failure;
        uint64_t bigSum = 0;
        auto whole = [&](uint64_t size, uint64_t sum) {
            return (size == bigSize && sum == expected.Value()) || (size == small.size() && sum == smallSum.Value());
        };
        std::thread big([&] {
            bigSum = UploadStreamed(s_, "shared.bin", bigSize, 10, failure);
            bigDone = true;
        });
        // Whoever opens the file meanwhile finds one block, whole.
        std::atomic<int> torn{0};
        std::thread reader([&] {
            for (int reads = 0; !bigDone && reads < 10000; ++reads) {
                uint64_t size = 0;
                const uint64_t sum = ChecksumOfFile(Work() / "shared.bin", &size);
                if (!whole(size, sum)) ++torn;
            }
        });
        // Small uploads one after another for as long as the big one runs.
        int smalls = 0;
        std::string trouble;
        const auto start = std::chrono::steady_clock::now();
        while (!bigDone && smalls < 5000 && MsSince(start) < 60000 && trouble.empty()) {
            other.Write("MMEM:DATA 'shared.bin'," + BlockOf(small) + ";*OPC?\n");
            std::string answer;
            if (!other.ReadResponse(answer)) trouble = other.lastError;
            ++smalls;
        }
        big.join();
        reader.join();
        ASSERT_EQ(trouble, "");
        ASSERT_EQ(failure, "");
        EXPECT_EQ(bigSum, expected.Value());
        EXPECT_EQ(torn.load(), 0) << "files seen that were neither block whole";
        uint64_t size = 0;
        const uint64_t onDisk = ChecksumOfFile(Work() / "shared.bin", &size);
        EXPECT_TRUE(whole(size, onDisk)) << "a file of " << size << " bytes is neither block (" << smalls
                                         << " small uploads)";
        EXPECT_TRUE(NoPartFiles());
    }
    EXPECT_EQ(NextError(), kNoError);
    EXPECT_EQ(test::NextError(other), kNoError);
}

TEST_F(UploadTest, LargeBlockStreamsInBoundedMemoryAndComesBackByteForByte)
{
    const uint64_t size = Scaled(size_t{200} << 20, 4);
    // The server's allocator settles first, with the session open.
    ExpectStored("warm.bin", Pattern(4 << 20, 11));
    const size_t idleKiB = server_->ResidentKiB();
    ASSERT_GT(idleKiB, 0u);
    size_t peakKiB = idleKiB;
    std::string failure;
    const uint64_t sent = UploadStreamed(s_, "large.bin", size, 12, failure, [&](uint64_t bytes) {
        if (bytes % (8 * kPiece) == 0) peakKiB = std::max(peakKiB, server_->ResidentKiB());
    });
    ASSERT_EQ(failure, "");
    peakKiB = std::max(peakKiB, server_->ResidentKiB());
    const size_t allowedKiB = kSanitizedBuild ? kMemorySlackKiB : 16 * 1024;
    EXPECT_LT(peakKiB - idleKiB, allowedKiB) << "resident memory grew from " << idleKiB << " KiB to " << peakKiB;

    uint64_t onDiskSize = 0;
    EXPECT_EQ(ChecksumOfFile(Work() / "large.bin", &onDiskSize), sent);
    EXPECT_EQ(onDiskSize, size);

    // Back through MMEM:DATA?, part by part.
    s_.Write("MMEM:DATA? 'large.bin'\n");
    Message m;
    ASSERT_TRUE(s_.sync.ReceiveType(m, Msg::Data, 10000)) << s_.sync.LastError() << " " << Describe(m);
    EXPECT_EQ(m.payload, BlockHeader(size));
    Checksum answer;
    uint64_t answered = 0;
    for (;;) {
        ASSERT_TRUE(s_.sync.Receive(m, 10000)) << s_.sync.LastError();
        if (m.type == +Msg::DataEnd) break;
        ASSERT_EQ(m.type, +Msg::Data) << Describe(m);
        answer.Add(m.payload);
        answered += m.payload.size();
    }
    EXPECT_EQ(m.payload, "\n");
    s_.rmtPending = true;
    EXPECT_EQ(answered, size);
    EXPECT_EQ(answer.Value(), sent);
    EXPECT_EQ(NextError(), kNoError);
}

TEST_F(UploadTest, TargetThatIsAFolderIsMediaProtected)
{
    fs::create_directory(Work() / "folder");
    const size_t lines = server_->CountInStdout("Cannot write file\n\n");
    s_.Write("MMEM:DATA 'folder'," + BlockOf("hello") + "\n");
    EXPECT_EQ(NextError(), "-258,\"Media protected;Cannot write file\"\n");
    EXPECT_TRUE(fs::is_directory(Work() / "folder"));
    EXPECT_TRUE(NoPartFiles());
    EXPECT_TRUE(server_->WaitForStdout("Cannot write file\n\n", 2000, lines + 1));
}

TEST_F(UploadTest, FolderMadeAtTheTargetDuringTheUploadStaysWhereItIs)
{
    // The block's first half arrives, a folder appears at the target's name,
    // then the rest of the block: the folder is never replaced or hidden.
    const std::string block = BlockOf("0123456789");
    const std::string head = "MMEM:DATA 'grows'," + block.substr(0, block.size() - 5);
    const uint32_t id = s_.nextMessageId;
    s_.nextMessageId += 4;
    ASSERT_TRUE(s_.sync.Send(Msg::Data, s_.rmtPending ? 1 : 0, id, head));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    fs::create_directories(Work() / "grows" / "inner");
    std::ofstream(Work() / "grows" / "inner" / "kept") << "kept";
    ASSERT_TRUE(s_.sync.Send(Msg::DataEnd, 0, id + 2, block.substr(block.size() - 5) + "\n"));
    s_.rmtPending = false;
    EXPECT_EQ(NextError(), "-258,\"Media protected;Cannot write file\"\n");
    EXPECT_TRUE(fs::is_directory(Work() / "grows" / "inner"));
    EXPECT_TRUE(fs::exists(Work() / "grows" / "inner" / "kept"));
    EXPECT_TRUE(NoPartFiles());
}

TEST(UploadKill, KilledServerLeavesTheTargetAndARecognisablePart)
{
    ScratchDir scratch;
    const fs::path work = scratch.Path();
    const std::string old = Pattern(20000, 13);
    WriteDisk(work / "kept.bin", old);

    ServerProcess server;
    ASSERT_TRUE(server.StartAndWaitReady({}, 15000, work.string()));
    HislipSession s;
    ASSERT_TRUE(s.Open(server.Port())) << s.lastError;
    const std::string head = "MMEM:DATA 'kept.bin'," + BlockHeader(16 << 20);
    ASSERT_TRUE(SendData(s, head + Pattern(4 << 20, 14)));
    // Killed once part of the block is on disk.
    ASSERT_TRUE(Eventually([&] {
        const auto parts = PartFiles(work);
        std::error_code error;
        return parts.size() == 1 && fs::file_size(work / parts[0], error) >= (1u << 20);
    }, 10000));
    server.Signal(SIGKILL);
    EXPECT_EQ(server.WaitExit(10000), 128 + SIGKILL);
    s.Close();

    EXPECT_TRUE(ReadDisk(work / "kept.bin") == old);
    const auto parts = PartFiles(work);
    ASSERT_EQ(parts.size(), 1u);

    // A new server answers the target as it was and serves no part file.
    ASSERT_TRUE(server.StartAndWaitReady({}, 15000, work.string()));
    ASSERT_TRUE(s.Open(server.Port())) << s.lastError;
    std::string answer;
    ASSERT_TRUE(s.Query("MMEM:DATA? 'kept.bin'\n", answer)) << s.lastError;
    EXPECT_TRUE(answer == BlockOf(old) + "\n");
    s.Write("MMEM:DATA? '" + parts[0] + "'\n");
    EXPECT_TRUE(s.sync.ExpectSilence(200)) << s.sync.LastError();
    EXPECT_EQ(NextError(s), "-257,\"File name error\"\n");
    s.Write("MMEM:DATA '" + parts[0] + "'," + BlockOf("abc") + "\n");
    EXPECT_EQ(NextError(s), "-257,\"File name error\"\n");
    EXPECT_NE(ReadDisk(work / parts[0]), "abc");

    // A replaced file's old contents are freed off the worker's path; that
    // never holds the server's stop.
    s.Write("MMEM:DATA 'kept.bin'," + BlockOf("new") + "\n");
    EXPECT_EQ(NextError(s), kNoError);
    EXPECT_EQ(ReadDisk(work / "kept.bin"), "new");
    s.Close();
    server.SendKeys("\r");
    EXPECT_EQ(server.WaitExit(15000), 0);
}

// A mount namespace of this thread's own with a 1 MiB file system at dir.
// Empty on success, else why it could not be had.
std::string MountSmallFileSystem(const fs::path& dir)
{
    if (::unshare(CLONE_NEWNS) != 0) {
        return std::string("no mount namespace: ") + std::strerror(errno);
    }
    // Nothing mounted here may reach the machine's own namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("mounts not private: ") + std::strerror(errno);
    }
    if (::mount("tarvos-test", dir.c_str(), "tmpfs", 0, "size=1m") != 0) {
        return std::string("tmpfs not mounted: ") + std::strerror(errno);
    }
    return "";
}

TEST(UploadFullDisk, FullFileSystemQueuesMediaFullAndKeepsTheFile)
{
    SKIP_UNDER_WINE("Wine opens files in its wineserver, outside the test's mount namespace");
    ScratchDir scratch;
    const fs::path work = scratch.Path() / "small";
    fs::create_directory(work);
    const std::string reason = MountSmallFileSystem(work);
    if (!reason.empty()) GTEST_SKIP() << "a small file system can't be mounted here: " << reason;
    struct Unmount {
        fs::path dir;
        ~Unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
    } unmount{work};

    const std::string old = Pattern(520 * 1024, 15);
    WriteDisk(work / "f.bin", old);
    ASSERT_TRUE(ReadDisk(work / "f.bin") == old);
    ServerProcess server;
    ASSERT_TRUE(server.StartAndWaitReady({}, 15000, work.string()));
    HislipSession s;
    ASSERT_TRUE(s.Open(server.Port())) << s.lastError;

    s.Write("MMEM:DATA 'f.bin'," + BlockOf(Pattern(2000000, 16)) + "\n");
    EXPECT_EQ(NextError(s), "-254,\"Media full\"\n");
    EXPECT_TRUE(ReadDisk(work / "f.bin") == old);
    EXPECT_TRUE(PartFiles(work).empty());
    EXPECT_TRUE(server.WaitForStdout("Cannot write file\n\n", 2000));

    // The space of the refused block is free again.
    const std::string fits = Pattern(300000, 17);
    s.Write("MMEM:DATA 'f.bin'," + BlockOf(fits) + "\n");
    EXPECT_EQ(NextError(s), kNoError);
    EXPECT_TRUE(ReadDisk(work / "f.bin") == fits);
    EXPECT_TRUE(PartFiles(work).empty());
    s.Close();
    server.SendKeys("\r");
    EXPECT_EQ(server.WaitExit(15000), 0);
}

}  // namespace
}  // namespace tarvos::test

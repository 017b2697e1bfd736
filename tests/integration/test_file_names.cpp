// File names against the real server: symbolic links are followed only while
// they stay beneath the working directory, links leading out are refused and
// left alone, and empty names get their own answers.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/FileServerTest.h"

namespace tarvos::test {
namespace {

namespace fs = std::filesystem;

constexpr char kNoError[] = "0,\"No error\"\n";
constexpr char kNameError[] = "-257,\"File name error\"\n";

class FileNamesTest : public FileServerTest<FileNamesTest> {
public:
    // Hooks of the fixture.
    static void Prepare() { MakeLinkFarm(base_); }

protected:
    // The answer to MMEM:DATA?, or "" after none came within 200 ms.
    std::string Fetch(const std::string& name)
    {
        s_.Write("MMEM:DATA? '" + name + "'\n");
        if (s_.sync.ExpectSilence(200)) return "";
        std::string answer;
        EXPECT_TRUE(s_.ReadResponse(answer)) << s_.lastError;
        return answer;
    }
};

TEST_F(FileNamesTest, LinksLeadingOutsideAreRefusedAndLeftAsTheyAre)
{
    struct Link {
        fs::path path;
        fs::path target;
    };
    std::vector<Link> links;
    for (const char* name : {"to_file", "to_file_rel", "to_dir", "to_missing", "to_missing_rel", "chain", "sub/up",
             "down_up"}) {
        links.push_back({work_ / name, fs::read_symlink(work_ / name)});
    }
    const size_t readLines = server_->CountInStdout("Can not open file!\n");
    const size_t writeLines = server_->CountInStdout("Cannot write file\n\n");

    const std::vector<std::string> reads = {
        "to_file", "to_file_rel", "to_dir/existing.txt", "chain", "sub/up", "down_up", "in_dir/up", "parent/outside.txt"};
    for (const std::string& name : reads) {
        SCOPED_TRACE("read " + name);
        EXPECT_EQ(Fetch(name), "");
        EXPECT_EQ(NextError(), kNameError);
    }
    std::vector<std::string> writes = {"to_file", "to_file_rel", "to_dir/new.txt", "to_dir/existing.txt",
        "to_missing", "to_missing_rel", "chain", "sub/up", "down_up", "in_dir/up", "parent/outside.txt", "parent"};
    if (UnderWine()) {
        // Wine shows a link that leads nowhere as no file at all, so a
        // Windows program can't tell it from a free name.
        std::erase_if(writes, [](const std::string& name) { return name.rfind("to_missing", 0) == 0; });
    }
    for (const std::string& name : writes) {
        SCOPED_TRACE("write " + name);
        Store(name, "overwritten");
        EXPECT_EQ(NextError(), kNameError);
    }

    EXPECT_EQ(ReadDisk(base_ / "outside.txt"), "keep me");
    EXPECT_EQ(ReadDisk(base_ / "outdir" / "existing.txt"), "keep me too");
    EXPECT_FALSE(fs::exists(base_ / "outdir" / "new.txt"));
    EXPECT_FALSE(fs::exists(base_ / "missing.txt"));
    EXPECT_TRUE(PartFiles(base_).empty());
    EXPECT_TRUE(PartFiles(base_ / "outdir").empty());
    for (const Link& link : links) {
        SCOPED_TRACE(link.path.string());
        EXPECT_TRUE(fs::is_symlink(fs::symlink_status(link.path)));
        EXPECT_EQ(fs::read_symlink(link.path), link.target);
    }
    EXPECT_TRUE(server_->WaitForStdout("Can not open file!\n", 2000, readLines + reads.size()));
    EXPECT_TRUE(server_->WaitForStdout("Cannot write file\n\n", 2000, writeLines + writes.size()));
}

TEST_F(FileNamesTest, LinksWithinTheWorkingDirectoryAreFollowed)
{
    EXPECT_EQ(Fetch("in_link"), BlockOf("inside") + "\n");
    EXPECT_EQ(Fetch("sub/back"), BlockOf("inside") + "\n");

    // Writing through a link replaces the file it names; the link stays.
    Store("in_link", "replaced");
    EXPECT_EQ(NextError(), kNoError);
    EXPECT_EQ(ReadDisk(work_ / "inside.txt"), "replaced");
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(work_ / "in_link")));
    Store("sub/back", "again");
    EXPECT_EQ(NextError(), kNoError);
    EXPECT_EQ(ReadDisk(work_ / "inside.txt"), "again");

    Store("in_dir/new.bin", "through a folder link");
    EXPECT_EQ(NextError(), kNoError);
    EXPECT_EQ(ReadDisk(work_ / "sub" / "new.bin"), "through a folder link");
    EXPECT_EQ(Fetch("in_dir/new.bin"), BlockOf("through a folder link") + "\n");

    // Wine shows a link that leads nowhere as no file at all.
    if (!UnderWine()) {
        Store("dangling_in", "created");
        EXPECT_EQ(NextError(), kNoError);
        EXPECT_EQ(ReadDisk(work_ / "fresh.bin"), "created");
        EXPECT_TRUE(fs::is_symlink(fs::symlink_status(work_ / "dangling_in")));
    }
    EXPECT_TRUE(PartFiles(work_).empty());
    EXPECT_TRUE(PartFiles(work_ / "sub").empty());
}

TEST_F(FileNamesTest, EmptyNamesAreNotFoundAndCannotBeWritten)
{
    const size_t readLines = server_->CountInStdout("Can not open file!\n");
    const size_t writeLines = server_->CountInStdout("Cannot write file\n\n");
    EXPECT_EQ(Fetch(""), "");
    EXPECT_EQ(NextError(), "-256,\"File name not found\"\n");
    Store("", "abc");
    EXPECT_EQ(NextError(), "-258,\"Media protected;Cannot write file\"\n");
    EXPECT_TRUE(server_->WaitForStdout("Can not open file!\n", 2000, readLines + 1));
    EXPECT_TRUE(server_->WaitForStdout("Cannot write file\n\n", 2000, writeLines + 1));
}

}  // namespace
}  // namespace tarvos::test

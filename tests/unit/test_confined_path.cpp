// Resolution of client file names beneath the working directory, by the
// kernel and by the component walk that stands in where the kernel can't:
// both must agree on every name, links into and out of the directory included.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/ConfinedPath.h"
#include "tests/support/FileBlocks.h"

namespace {

namespace fs = std::filesystem;
using tarvos::platform::FileStatus;
using tarvos::platform::OpenBeneath;
using tarvos::platform::OpenFor;
using tarvos::platform::ResolveLeaf;
using tarvos::platform::Resolver;

const char* Name(FileStatus status)
{
    switch (status) {
    case FileStatus::Ok: return "Ok";
    case FileStatus::Missing: return "Missing";
    case FileStatus::Outside: return "Outside";
    case FileStatus::NoSpace: return "NoSpace";
    case FileStatus::Failed: return "Failed";
    }
    return "?";
}

class ConfinedPath : public ::testing::TestWithParam<Resolver> {
protected:
    // The working directory is base/work of a link farm.
    void SetUp() override
    {
        char pattern[] = "/tmp/tarvos-confined-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        base_ = pattern;
        const fs::path work = base_ / "work";
        tarvos::test::MakeLinkFarm(base_);

        previous_ = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(previous_, 0);
        ASSERT_EQ(::chdir(work.c_str()), 0);
    }
    void TearDown() override
    {
        if (previous_ >= 0) {
            EXPECT_EQ(::fchdir(previous_), 0);
            ::close(previous_);
        }
        std::error_code ignored;
        fs::remove_all(base_, ignored);
    }

    // The status of opening name for reading; what it read, when it could.
    FileStatus Read(const std::string& name, std::string* text = nullptr)
    {
        FileStatus status = FileStatus::Ok;
        const int fd = OpenBeneath(name, OpenFor::Reading, status, GetParam());
        EXPECT_EQ(fd >= 0, status == FileStatus::Ok) << name;
        if (fd >= 0) {
            char buffer[64];
            const ssize_t n = ::read(fd, buffer, sizeof(buffer));
            if (text != nullptr && n > 0) text->assign(buffer, static_cast<size_t>(n));
            ::close(fd);
        }
        return status;
    }

    // The status of resolving name for writing; on Ok, the folder (relative
    // to the working directory, "." for itself) and the leaf found.
    FileStatus Leaf(const std::string& name, std::string* where = nullptr)
    {
        int folder = -1;
        std::string leaf;
        const FileStatus status = ResolveLeaf(name, folder, leaf, GetParam());
        EXPECT_EQ(folder >= 0, status == FileStatus::Ok) << name;
        if (folder >= 0) {
            struct stat found {};
            struct stat work {};
            struct stat sub {};
            EXPECT_EQ(::fstat(folder, &found), 0);
            ::stat(".", &work);
            ::stat("sub", &sub);
            const std::string in = found.st_ino == work.st_ino ? "." : found.st_ino == sub.st_ino ? "sub" : "?";
            if (where != nullptr) *where = in + "/" + leaf;
            ::close(folder);
        }
        return status;
    }

    fs::path base_;
    int previous_ = -1;
};

TEST_P(ConfinedPath, ReadingFollowsLinksOnlyBeneathTheWorkingDirectory)
{
    struct Case {
        const char* name;
        FileStatus status;
        const char* text;
    };
    const std::vector<Case> cases = {
        {"inside.txt", FileStatus::Ok, "inside"},
        {"in_link", FileStatus::Ok, "inside"},
        {"sub/back", FileStatus::Ok, "inside"},
        {"down_in", FileStatus::Ok, "inside"},
        {"in_dir/x.txt", FileStatus::Ok, "x"},
        {"sub/to_work/inside.txt", FileStatus::Ok, "inside"},
        {"to_file", FileStatus::Outside, ""},
        {"to_file_rel", FileStatus::Outside, ""},
        {"chain", FileStatus::Outside, ""},
        {"sub/up", FileStatus::Outside, ""},
        {"in_dir/up", FileStatus::Outside, ""},
        {"down_up", FileStatus::Outside, ""},
        {"to_dir/anything", FileStatus::Outside, ""},
        {"parent/outside.txt", FileStatus::Outside, ""},
        {"/etc/hostname", FileStatus::Outside, ""},
        {"absent.txt", FileStatus::Missing, ""},
        {"sub/absent", FileStatus::Missing, ""},
        {"inside.txt/x", FileStatus::Missing, ""},
        {"dangling_in", FileStatus::Missing, ""},
        {"", FileStatus::Missing, ""},
        {"loop", FileStatus::Failed, ""},
    };
    for (const Case& c : cases) {
        std::string text;
        EXPECT_STREQ(Name(Read(c.name, &text)), Name(c.status)) << c.name;
        EXPECT_EQ(text, c.text) << c.name;
    }
}

TEST_P(ConfinedPath, WritingResolvesTheFolderAndALeafThatIsNoLink)
{
    struct Case {
        const char* name;
        FileStatus status;
        const char* where;
    };
    const std::vector<Case> cases = {
        {"new.bin", FileStatus::Ok, "./new.bin"},
        {"inside.txt", FileStatus::Ok, "./inside.txt"},
        {"in_link", FileStatus::Ok, "./inside.txt"},
        {"sub/back", FileStatus::Ok, "./inside.txt"},
        {"in_dir/new.bin", FileStatus::Ok, "sub/new.bin"},
        {"dangling_in", FileStatus::Ok, "./fresh.bin"},
        {"sub", FileStatus::Ok, "./sub"},
        {"to_file", FileStatus::Outside, ""},
        {"to_missing", FileStatus::Outside, ""},
        {"chain", FileStatus::Outside, ""},
        {"to_dir/new.txt", FileStatus::Outside, ""},
        {"sub/up", FileStatus::Outside, ""},
        {"down_up", FileStatus::Outside, ""},
        {"parent", FileStatus::Outside, ""},
        {"/tmp/x", FileStatus::Outside, ""},
        {"nodir/x", FileStatus::Missing, ""},
        {"sub/", FileStatus::Failed, ""},
        {"sub/to_work", FileStatus::Failed, ""},
        {"loop", FileStatus::Failed, ""},
    };
    for (const Case& c : cases) {
        std::string where;
        EXPECT_STREQ(Name(Leaf(c.name, &where)), Name(c.status)) << c.name;
        EXPECT_EQ(where, c.where) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(ByKernelAndByWalk, ConfinedPath, ::testing::Values(Resolver::Kernel, Resolver::Walk),
    [](const ::testing::TestParamInfo<Resolver>& info) {
        return info.param == Resolver::Kernel ? "Kernel" : "Walk";
    });

}  // namespace

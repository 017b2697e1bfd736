// Client file names on Windows: every name that leads somewhere other than a
// file beneath the working directory (drives, rooted, UNC and device paths,
// alternate data streams, reserved device names, trailing dots or spaces) is
// refused as lying outside, for reading and for writing alike, and creates
// nothing; names that only look like those are ordinary files.
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/File.h"

namespace {

namespace fs = std::filesystem;
using tarvos::platform::FileStatus;
using tarvos::platform::InputFile;
using tarvos::platform::ReplacementFile;

// Runs each case in a fresh working directory of its own below the system's
// temporary folder, with an "outside" folder beside it.
class WindowsFileNames : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t previous[MAX_PATH];
        ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, previous), 0u);
        previous_ = previous;
        base_ = fs::temp_directory_path() / ("tarvos-names-" + std::to_string(GetCurrentProcessId()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(base_);
        fs::create_directories(base_ / "work" / "sub");
        fs::create_directories(base_ / "outside");
        ASSERT_TRUE(SetCurrentDirectoryW((base_ / "work").c_str()));
    }
    void TearDown() override
    {
        SetCurrentDirectoryW(previous_.c_str());
        std::error_code ignored;
        fs::remove_all(base_, ignored);
    }

    // Everything below the working directory and beside it.
    std::vector<std::string> Entries() const
    {
        std::vector<std::string> found;
        for (const auto& entry : fs::recursive_directory_iterator(base_)) {
            found.push_back(fs::relative(entry.path(), base_).generic_string());
        }
        return found;
    }

    static FileStatus Store(const std::string& name, const std::string& data)
    {
        ReplacementFile file;
        FileStatus status = file.Create(name);
        if (status == FileStatus::Ok) status = file.Write(data.data(), data.size());
        if (status == FileStatus::Ok) status = file.Commit();
        return status;
    }

    static std::string Load(const std::string& name)
    {
        InputFile file;
        if (file.Open(name) != FileStatus::Ok) return "<not opened>";
        std::string data(64, '\0');
        const long n = file.Read(data.data(), data.size());
        data.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return data;
    }

    fs::path base_;
    std::wstring previous_;
};

TEST_F(WindowsFileNames, NamesLeadingElsewhereAreOutsideAndCreateNothing)
{
    const std::string outsideFolder = (base_ / "outside").string();
    const std::vector<std::string> names = {
        // Drives, with and without a folder, and the drive of the working directory.
        "C:x", "C:\\x", "C:/x", "Z:x", outsideFolder + "\\escaped.txt",
        // Rooted, UNC and device paths.
        "\\x", "/x", "\\\\server\\share\\x", "//server/share/x", "\\\\?\\C:\\x", "\\\\.\\NUL", "\\\\.\\COM1",
        // Alternate data streams.
        "file.txt:stream", "file.txt::$DATA", "sub/file:hidden",
        // Reserved device names, with an extension, in any case, in a folder.
        "NUL", "nul", "CON", "PRN", "AUX", "aux.txt", "COM1", "com9.log", "LPT1", "LPT9.tar.gz", "COM0", "LPT0",
        "CONIN$", "CONOUT$", "COM\xC2\xB9", "LPT\xC2\xB3.txt", "NUL .txt", "sub/NUL", "sub\\con.cfg",
        // Names the system would store under another name.
        "trailingdot.", "trailing ", "sub./x", "sub /x", "dots...",
        // Climbing out.
        "..\\outside\\x", "sub\\..\\..\\outside\\x"};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Store(name, "data"), FileStatus::Outside);
        InputFile file;
        EXPECT_EQ(file.Open(name), FileStatus::Outside);
    }
    EXPECT_EQ(Entries(), (std::vector<std::string>{"outside", "work", "work/sub"}));
}

TEST_F(WindowsFileNames, LookAlikesAndBothSeparatorsAreOrdinaryNames)
{
    const std::vector<std::string> names = {"COM10", "LPT10.txt", "CONSOLE", "nul-device", "auxiliary.txt", "a..b",
                                            ".hidden", "sub\\inner.txt", "sub/other.txt", "./dotted.txt"};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        ASSERT_EQ(Store(name, "content of " + name), FileStatus::Ok);
        EXPECT_EQ(Load(name), "content of " + name);
    }
    EXPECT_TRUE(fs::exists(base_ / "work" / "sub" / "inner.txt"));
    EXPECT_TRUE(fs::exists(base_ / "work" / "dotted.txt"));

    // Writing again replaces the file, and no temporary file stays behind.
    ASSERT_EQ(Store("COM10", "again"), FileStatus::Ok);
    EXPECT_EQ(Load("COM10"), "again");
    for (const std::string& entry : Entries()) EXPECT_EQ(entry.find(".tarvos-part-"), std::string::npos) << entry;
}

TEST_F(WindowsFileNames, FoldersAndMissingNamesAreNoFiles)
{
    InputFile file;
    EXPECT_EQ(file.Open("missing.txt"), FileStatus::Missing);
    EXPECT_EQ(file.Open("sub"), FileStatus::Failed);
    EXPECT_EQ(Store("sub", "x"), FileStatus::Failed);
    EXPECT_EQ(Store("nofolder/x.txt", "x"), FileStatus::Missing);
    EXPECT_EQ(Store(".", "x"), FileStatus::Failed);
    EXPECT_EQ(Load("sub/missing"), "<not opened>");
}

}  // namespace

// The Windows build as its users meet it, run under Wine by tools/test-windows:
// the lines meant for the debugger reach the debugger output (Wine shows it on
// its debug channel for OutputDebugStringA) and never the console, and client
// file names that lead anywhere but to a file beneath the working directory are
// refused with -257, for reading and writing, and create nothing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/FileServerTest.h"
#include "tests/support/HislipClient.h"
#include "tests/support/ServerProcess.h"

namespace tarvos::test {
namespace {

namespace fs = std::filesystem;

constexpr int kExitMs = 15000;
constexpr char kNameError[] = "-257,\"File name error\"\n";
// Winsock's "address in use" and the error of an accept ended by the stop.
constexpr int kAddressInUse = 10048;
constexpr int kInterrupted = 10004;

size_t Count(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

// How Wine's debug channel shows one line passed to OutputDebugStringA.
std::string DebuggerLine(const std::string& line)
{
    return "OutputDebugStringA \"" + line + "\\n\"";
}

TEST(WindowsServer, ListenerFailuresReachTheDebuggerOutputOnly)
{
    ASSERT_TRUE(UnderWine()) << "runs the Windows build under Wine; tools/test-windows starts it";
    // The IPv4 wildcard address of the port is taken, so that bind fails there.
    const uint16_t port = FreePort();
    const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = htons(port);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&any), sizeof(any)), 0);
    ASSERT_EQ(::listen(holder, 4), 0);

    ServerProcess server;
    server.SetEnvironment("WINEDEBUG", "-all,+debugstr");
    ASSERT_TRUE(server.Start({"-v", "-p", std::to_string(port)}, false));
    ASSERT_TRUE(server.WaitForStdout("Press [SPACE]", 15000)) << server.Stdout() << server.Stderr();
    const std::string bind =
        "Tarvos: Warning: bind of data channel failed with " + std::to_string(kAddressInUse) + " for IPv4";
    EXPECT_TRUE(server.WaitForStderr(DebuggerLine(bind), 5000)) << server.Stderr();
    // The verbose line of the same failure is a console line.
    EXPECT_TRUE(server.WaitForStderr(
        "Tarvos:: Warning: Cannot bind data channel to port " + std::to_string(port) + " for IPv4\n", 5000));

    server.SendKeys("\r");
    EXPECT_EQ(server.WaitExit(kExitMs), 0);
    ::close(holder);
    const std::string err = server.Stderr();
    // The stop ends the accept of the IPv6 listener that did start.
    EXPECT_EQ(Count(err, DebuggerLine("Tarvos: Error: accept() failed with error " + std::to_string(kInterrupted))), 1u)
        << err;
    EXPECT_NE(err.find("Tarvos:: Terminating data channel server thread.\n"), std::string::npos) << err;
    // Every debugger line is on the debug channel and nowhere else.
    EXPECT_EQ(Count(err, "Tarvos: "), Count(err, "OutputDebugStringA \"Tarvos: ")) << err;
    EXPECT_EQ(server.Stdout().find("Tarvos: "), std::string::npos) << server.Stdout();
}

class WindowsNamesTest : public FileServerTest<WindowsNamesTest> {};

TEST_F(WindowsNamesTest, NamesLeadingElsewhereAreRefusedAndCreateNothing)
{
    ASSERT_TRUE(UnderWine()) << "runs the Windows build under Wine; tools/test-windows starts it";
    // The drive Wine maps the Linux root to reaches every folder of it.
    const std::string outside = (base_ / "outside.txt").string();
    const std::vector<std::string> names = {"Z:" + outside,
        "Z:" + std::string(outside).replace(0, 1, "\\"),
        "C:x", "C:\\x", "C:/x",
        "\\\\localhost\\C$\\x", "\\\\?\\Z:" + outside, "\\\\.\\NUL",
        "NUL", "nul", "COM1", "aux.txt", "LPT1.log", "CON", "sub/prn",
        "file.txt:stream", "file.txt::$DATA",
        "trailingdot.", "trailingspace "};
    const size_t readLines = server_->CountInStdout("Can not open file!\n");
    const size_t writeLines = server_->CountInStdout("Cannot write file\n\n");
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        Store(name, "written");
        EXPECT_EQ(NextError(), kNameError);
        s_.Write("MMEM:DATA? '" + name + "'\n");
        EXPECT_TRUE(s_.sync.ExpectSilence(200)) << s_.sync.LastError();
        EXPECT_EQ(NextError(), kNameError);
    }
    EXPECT_FALSE(fs::exists(base_ / "outside.txt"));
    std::vector<std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(base_)) entries.push_back(entry.path().string());
    EXPECT_EQ(entries, std::vector<std::string>{work_.string()});
    EXPECT_TRUE(server_->WaitForStdout("Can not open file!\n", 2000, readLines + names.size()));
    EXPECT_TRUE(server_->WaitForStdout("Cannot write file\n\n", 2000, writeLines + names.size()));

    // A name that only looks like a device is an ordinary file.
    Store("COM10.txt", "kept");
    EXPECT_EQ(NextError(), "0,\"No error\"\n");
    EXPECT_EQ(ReadDisk(work_ / "COM10.txt"), "kept");
}

}  // namespace
}  // namespace tarvos::test

// Runs the real tarvos executable as a child process for integration tests.
//
// The child's stdin is a pipe the test keeps open (so the server's console
// keeps running until the test sends a key or closes it); stdout and stderr
// are drained by one reader thread into strings the test can inspect and wait
// on. Every wait is bounded by a timeout. The child gets PR_SET_PDEATHSIG
// (SIGKILL), so a crashed test never leaves a server behind; note that the
// death signal is tied to the *thread* that called Start(), so start servers
// from the test's main thread (or a thread that outlives the server).
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/FreePort.h"

namespace tarvos::test {

// Path of the server executable under test: TARVOS_TEST_SERVER when set
// (for instance the Windows build), else the one built beside the tests.
const char* ServerBinary();

// True when the server under test runs under Wine: TARVOS_TEST_WINE names
// the Wine loader that starts it. Its standard streams then come with "\r\n"
// line ends, which the captured text has as "\n".
bool UnderWine();

// Skips the current test when the server runs under Wine, with the reason.
#define SKIP_UNDER_WINE(reason)                                  \
    do {                                                         \
        if (::tarvos::test::UnderWine()) {                       \
            GTEST_SKIP() << "not run under Wine: " << (reason);  \
        }                                                        \
    } while (false)

class ServerProcess {
public:
    ServerProcess() = default;
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    // Kills (SIGKILL) and reaps the child if it is still running.
    ~ServerProcess();

    // Starts the server with args. If addPort, picks FreePort() and appends
    // "-p" "<port>"; otherwise Port() reports the value following a "-p" in
    // args (0 if none). workDir: working directory of the child ("" = ours).
    // Returns false if a child is already running or fork/exec failed.
    bool Start(const std::vector<std::string>& args = {}, bool addPort = true, const std::string& workDir = "");

    // Start() (with a port) and wait until stdout shows the ready banner
    // "Press [SPACE]" within timeoutMs. If the child exits before becoming
    // ready (e.g. the port was grabbed in between), it is retried with a new
    // port up to twice. Under Wine a server whose banner came only after a
    // listener's 10 s start wait (a family possibly left unserved) is killed
    // and started again the same way. Returns false if the server never
    // became ready.
    bool StartAndWaitReady(
        const std::vector<std::string>& args = {}, int timeoutMs = 15000, const std::string& workDir = "");

    // Standard error of the servers started from now on is a terminal (a
    // pseudo-terminal in raw mode, read like the pipe) instead of a pipe.
    void SetStderrTerminal(bool on) { stderrTerminal_ = on; }
    // Sets an environment variable for the servers started from now on.
    void SetEnvironment(const std::string& name, const std::string& value);

    uint16_t Port() const { return port_; }
    pid_t Pid() const { return pid_; }

    // Everything captured so far.
    std::string Stdout() const;
    std::string Stderr() const;

    // Wait until the captured stream contains text at least `occurrences`
    // times (non-overlapping). Returns false on timeout or if the stream ended
    // (child gone) without enough occurrences.
    bool WaitForStdout(const std::string& text, int timeoutMs, size_t occurrences = 1);
    bool WaitForStderr(const std::string& text, int timeoutMs, size_t occurrences = 1);
    size_t CountInStdout(const std::string& text) const;
    size_t CountInStderr(const std::string& text) const;

    // Writes to the child's stdin (no-op once closed or if the child is gone).
    void SendKeys(const std::string& keys);
    void CloseStdin();
    // Sends a signal to the child if it has not been reaped yet.
    void Signal(int sig);

    // Exit code of the child; 128+signal if killed by a signal. If it is still
    // running after timeoutMs, it is killed (SIGKILL), reaped and -1 returned.
    // Once reaped, returns the recorded code immediately. After the child has
    // exited, waits briefly for the output pipes to drain so Stdout()/Stderr()
    // are complete.
    int WaitExit(int timeoutMs);
    // True if the child has been started and not yet exited.
    bool Running();

    // Entries in /proc/<pid>/fd and VmRSS from /proc/<pid>/status (0 if the
    // child is not running or /proc is unavailable).
    size_t OpenFdCount() const;
    size_t ResidentKiB() const;
    // "Threads:" from /proc/<pid>/status (0 as above).
    size_t ThreadCount() const;
    // "rchar:" from /proc/<pid>/io: bytes the child has read with read() and
    // its kin, which counts file reads but not socket receives (0 as above).
    uint64_t FileBytesRead() const;

private:
    enum class Stream { kOut, kErr };
    void ReaderLoop(int outFd, int errFd);
    bool WaitFor(Stream s, const std::string& text, int timeoutMs, size_t occurrences);
    void RecordStatus(int status);
    void FinishReader(int drainMs);

    pid_t pid_ = -1;
    bool reaped_ = false;
    int exitCode_ = -1;
    uint16_t port_ = 0;
    int stdinFd_ = -1;
    bool stderrTerminal_ = false;
    // "NAME=value" entries that override the inherited environment.
    std::vector<std::string> environment_;

    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::string out_;
    std::string err_;
    bool readerDone_ = true;
    bool stopReader_ = false;
    std::thread reader_;
};

}  // namespace tarvos::test

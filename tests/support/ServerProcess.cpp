#include "tests/support/ServerProcess.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>

#ifndef TARVOS_BINARY
#error "TARVOS_BINARY must name the server executable under test"
#endif

namespace tarvos::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kReadyBanner = "Press [SPACE]";
constexpr int kExecReportTimeoutMs = 5000;
// Close to the server's 10 s wait for a listener to report its start.
constexpr int kListenerLateMs = 9000;
constexpr int kDrainAfterExitMs = 2000;
constexpr int kStdinWriteTimeoutMs = 2000;
constexpr int kReaderPollMs = 50;

Clock::time_point DeadlineIn(int ms)
{
    return Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
}

int MsUntil(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

void CloseFd(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// pipe2(O_CLOEXEC), with both ends moved above the standard descriptors so
// the dup2() calls in the child can never clobber one another.
bool MakePipe(int p[2])
{
    if (::pipe2(p, O_CLOEXEC) != 0) return false;
    for (int i = 0; i < 2; ++i) {
        if (p[i] < 3) {
            int moved = ::fcntl(p[i], F_DUPFD_CLOEXEC, 3);
            if (moved < 0) {
                ::close(p[0]);
                ::close(p[1]);
                return false;
            }
            ::close(p[i]);
            p[i] = moved;
        }
    }
    return true;
}

// Child side of a failed start: tell the parent which step failed and why.
// Only async-signal-safe calls.
[[noreturn]] void ReportAndExit(int fd, int stage)
{
    int failure[2] = {stage, errno};
    (void)!::write(fd, failure, sizeof(failure));
    ::_exit(127);
}

// A pseudo-terminal in raw mode (no line-end translation): p[0] the master,
// p[1] the terminal end, both close-on-exec.
bool MakeTerminal(int p[2])
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return false;
    char name[128];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof(name)) != 0) {
        ::close(master);
        return false;
    }
    const int terminal = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0) {
        ::close(master);
        return false;
    }
    termios mode{};
    if (::tcgetattr(terminal, &mode) == 0) {
        ::cfmakeraw(&mode);
        ::tcsetattr(terminal, TCSANOW, &mode);
    }
    p[0] = master;
    p[1] = terminal;
    return true;
}

// Appends a piece of a stream with "\r\n" turned into "\n"; held carries a
// "\r" that ended the previous piece.
void AppendWithoutReturns(std::string& text, const char* piece, size_t length, bool& held)
{
    for (size_t i = 0; i < length; ++i) {
        if (held) {
            held = false;
            if (piece[i] != '\n') text += '\r';
        }
        if (piece[i] == '\r') {
            held = true;
            continue;
        }
        text += piece[i];
    }
}

size_t CountOccurrences(const std::string& hay, const std::string& needle)
{
    if (needle.empty()) return 0;
    size_t n = 0;
    for (size_t pos = hay.find(needle); pos != std::string::npos; pos = hay.find(needle, pos + needle.size())) ++n;
    return n;
}

}  // namespace

const char* ServerBinary()
{
    const char* chosen = std::getenv("TARVOS_TEST_SERVER");
    return chosen != nullptr && chosen[0] != '\0' ? chosen : TARVOS_BINARY;
}

bool UnderWine()
{
    const char* wine = std::getenv("TARVOS_TEST_WINE");
    return wine != nullptr && wine[0] != '\0';
}

void ServerProcess::SetEnvironment(const std::string& name, const std::string& value)
{
    const std::string prefix = name + "=";
    std::erase_if(environment_, [&](const std::string& entry) { return entry.rfind(prefix, 0) == 0; });
    environment_.push_back(prefix + value);
}

ServerProcess::~ServerProcess()
{
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) { }
        RecordStatus(status);
    }
    CloseFd(stdinFd_);
    FinishReader(500);
}

bool ServerProcess::Start(const std::vector<std::string>& args, bool addPort, const std::string& workDir)
{
    if (pid_ > 0 && !reaped_) return false;
    FinishReader(0);
    CloseFd(stdinFd_);
    {
        std::lock_guard<std::mutex> lock(mu_);
        out_.clear();
        err_.clear();
        stopReader_ = false;
        readerDone_ = true;
    }
    pid_ = -1;
    reaped_ = false;
    exitCode_ = -1;
    port_ = 0;

    std::vector<std::string> full = args;
    if (addPort) {
        port_ = FreePort();
        if (port_ == 0) return false;
        full.push_back("-p");
        full.push_back(std::to_string(port_));
    } else {
        for (size_t i = 0; i + 1 < full.size(); ++i) {
            if (full[i] == "-p") port_ = static_cast<uint16_t>(std::strtoul(full[i + 1].c_str(), nullptr, 10));
        }
    }

    // Everything the child touches is prepared before fork(): between fork and
    // exec only async-signal-safe calls are made.
    std::vector<char*> argv;
    if (UnderWine()) argv.push_back(std::getenv("TARVOS_TEST_WINE"));
    argv.push_back(const_cast<char*>(ServerBinary()));
    for (auto& a : full) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The inherited environment with the test's own entries in place.
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const bool replaced = std::any_of(environment_.begin(), environment_.end(), [&](const std::string& own) {
            return text.compare(0, own.find('=') + 1, own, 0, own.find('=') + 1) == 0;
        });
        if (!replaced) variables.push_back(text);
    }
    variables.insert(variables.end(), environment_.begin(), environment_.end());
    std::vector<char*> envp;
    for (auto& v : variables) envp.push_back(v.data());
    envp.push_back(nullptr);
    const char* dir = workDir.empty() ? nullptr : workDir.c_str();
    const long openMax = ::sysconf(_SC_OPEN_MAX);
    const int fdLimit = (openMax > 0 && openMax < 65536) ? static_cast<int>(openMax) : 65536;

    int in[2], out[2], err[2], report[2];
    if (!MakePipe(in)) return false;
    if (!MakePipe(out)) {
        ::close(in[0]), ::close(in[1]);
        return false;
    }
    if (!(stderrTerminal_ ? MakeTerminal(err) : MakePipe(err))) {
        ::close(in[0]), ::close(in[1]), ::close(out[0]), ::close(out[1]);
        return false;
    }
    if (!MakePipe(report)) {
        ::close(in[0]), ::close(in[1]), ::close(out[0]), ::close(out[1]), ::close(err[0]), ::close(err[1]);
        return false;
    }

    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction dfl { };
        dfl.sa_handler = SIG_DFL;
        for (int sig = 1; sig < 32; ++sig) {
            if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &dfl, nullptr);
        }
        // dup2 onto 0/1/2 clears close-on-exec on the copies only.
        if (::dup2(in[0], 0) < 0 || ::dup2(out[1], 1) < 0 || ::dup2(err[1], 2) < 0) ReportAndExit(report[1], 1);
        // Descriptors the test process inherited without close-on-exec (from
        // ctest, a shell, ...) must not reach the server: they would skew
        // descriptor counts and could keep foreign pipes open.
        if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
            for (int fd = 3; fd < fdLimit; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        if (dir != nullptr && ::chdir(dir) != 0) ReportAndExit(report[1], 2);
        ::execve(argv[0], argv.data(), envp.data());
        ReportAndExit(report[1], 3);
    }

    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    ::close(report[1]);
    if (child < 0) {
        ::close(in[1]), ::close(out[0]), ::close(err[0]), ::close(report[0]);
        return false;
    }
    pid_ = child;

    // The report pipe reaches EOF when exec succeeds (close-on-exec) and
    // carries errno when it fails.
    int failure[2] = {0, 0};  // stage, errno
    ssize_t got = 0;
    pollfd pfd{report[0], POLLIN, 0};
    if (::poll(&pfd, 1, kExecReportTimeoutMs) > 0) {
        do {
            got = ::read(report[0], failure, sizeof(failure));
        } while (got < 0 && errno == EINTR);
    }
    ::close(report[0]);
    if (got > 0) {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) { }
        RecordStatus(status);
        ::close(in[1]), ::close(out[0]), ::close(err[0]);
        static const char* const kStage[] = {"?", "redirect", "chdir", "exec"};
        std::fprintf(stderr, "ServerProcess: cannot start %s (%s%s%s): %s\n", ServerBinary(),
            kStage[failure[0] >= 1 && failure[0] <= 3 ? failure[0] : 0], dir != nullptr ? " " : "",
            dir != nullptr ? dir : "", std::strerror(failure[1]));
        return false;
    }

    stdinFd_ = in[1];
    ::fcntl(stdinFd_, F_SETFL, ::fcntl(stdinFd_, F_GETFL) | O_NONBLOCK);
    {
        std::lock_guard<std::mutex> lock(mu_);
        readerDone_ = false;
    }
    reader_ = std::thread(&ServerProcess::ReaderLoop, this, out[0], err[0]);
    return true;
}

bool ServerProcess::StartAndWaitReady(const std::vector<std::string>& args, int timeoutMs, const std::string& workDir)
{
    auto deadline = DeadlineIn(timeoutMs);
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!Start(args, true, workDir)) return false;
        const auto began = Clock::now();
        if (WaitForStdout(kReadyBanner, MsUntil(deadline))) {
            // The server waits up to 10 s for each listener to report; one that
            // did not is left out. Under Wine the first socket call of a new
            // process can take that long while other Wine processes keep the
            // Wine server busy: a banner that late means a family may not be
            // served, so the server is started again on a new port.
            const bool listenerLate = Clock::now() - began >= std::chrono::milliseconds(kListenerLateMs);
            if (!UnderWine() || !listenerLate || attempt == 2) return true;
            Signal(SIGKILL);
            WaitExit(kExecReportTimeoutMs);
            deadline = DeadlineIn(timeoutMs);
            continue;
        }
        if (Running() || MsUntil(deadline) == 0) return false;
        // Exited before becoming ready: most likely lost the port race.
    }
    return false;
}

void ServerProcess::ReaderLoop(int outFd, int errFd)
{
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    char buf[65536];
    // Under Wine a "\r" that ended the last piece of a stream, held back
    // until the next piece tells whether a "\n" follows.
    const bool lineEnds = UnderWine();
    bool heldReturn[2] = {false, false};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (stopReader_) break;
        }
        int n = ::poll(fds, 2, kReaderPollMs);
        if (n < 0 && errno != EINTR) break;
        if (n <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t r = ::read(fds[i].fd, buf, sizeof(buf));
            if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (r <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                continue;
            }
            std::lock_guard<std::mutex> lock(mu_);
            std::string& text = i == 0 ? out_ : err_;
            if (lineEnds) {
                AppendWithoutReturns(text, buf, static_cast<size_t>(r), heldReturn[i]);
            } else {
                text.append(buf, static_cast<size_t>(r));
            }
            cv_.notify_all();
        }
    }
    for (auto& f : fds) CloseFd(f.fd);
    std::lock_guard<std::mutex> lock(mu_);
    readerDone_ = true;
    cv_.notify_all();
}

void ServerProcess::FinishReader(int drainMs)
{
    if (!reader_.joinable()) return;
    {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait_until(lock, DeadlineIn(drainMs), [this] { return readerDone_; });
        stopReader_ = true;
    }
    reader_.join();
}

std::string ServerProcess::Stdout() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return out_;
}

std::string ServerProcess::Stderr() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return err_;
}

bool ServerProcess::WaitFor(Stream s, const std::string& text, int timeoutMs, size_t occurrences)
{
    std::unique_lock<std::mutex> lock(mu_);
    const std::string& buf = (s == Stream::kOut) ? out_ : err_;
    cv_.wait_until(
        lock, DeadlineIn(timeoutMs), [&] { return readerDone_ || CountOccurrences(buf, text) >= occurrences; });
    return CountOccurrences(buf, text) >= occurrences;
}

bool ServerProcess::WaitForStdout(const std::string& text, int timeoutMs, size_t occurrences)
{
    return WaitFor(Stream::kOut, text, timeoutMs, occurrences);
}

bool ServerProcess::WaitForStderr(const std::string& text, int timeoutMs, size_t occurrences)
{
    return WaitFor(Stream::kErr, text, timeoutMs, occurrences);
}

size_t ServerProcess::CountInStdout(const std::string& text) const
{
    std::lock_guard<std::mutex> lock(mu_);
    return CountOccurrences(out_, text);
}

size_t ServerProcess::CountInStderr(const std::string& text) const
{
    std::lock_guard<std::mutex> lock(mu_);
    return CountOccurrences(err_, text);
}

void ServerProcess::SendKeys(const std::string& keys)
{
    if (stdinFd_ < 0) return;
    // A child that already exited must not kill the test with SIGPIPE: block it
    // on this thread and swallow the one our write may raise.
    sigset_t pipeSet, old;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
    const auto deadline = DeadlineIn(kStdinWriteTimeoutMs);
    size_t done = 0;
    while (done < keys.size()) {
        ssize_t w = ::write(stdinFd_, keys.data() + done, keys.size() - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EAGAIN) {
            pollfd pfd{stdinFd_, POLLOUT, 0};
            if (::poll(&pfd, 1, MsUntil(deadline)) > 0) continue;
        }
        if (w < 0 && errno == EPIPE) {
            timespec zero{0, 0};
            sigtimedwait(&pipeSet, nullptr, &zero);
        }
        break;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void ServerProcess::CloseStdin()
{
    CloseFd(stdinFd_);
}

void ServerProcess::Signal(int sig)
{
    if (pid_ > 0 && !reaped_) ::kill(pid_, sig);
}

void ServerProcess::RecordStatus(int status)
{
    reaped_ = true;
    if (WIFEXITED(status)) {
        exitCode_ = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        exitCode_ = 128 + WTERMSIG(status);
    } else {
        exitCode_ = -1;
    }
}

int ServerProcess::WaitExit(int timeoutMs)
{
    if (pid_ <= 0) return -1;
    if (reaped_) return exitCode_;
    const auto deadline = DeadlineIn(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            RecordStatus(status);
            FinishReader(kDrainAfterExitMs);
            return exitCode_;
        }
        if (r < 0 && errno != EINTR) {
            // Not our child any more (should not happen); treat as gone.
            reaped_ = true;
            exitCode_ = -1;
            FinishReader(kDrainAfterExitMs);
            return -1;
        }
        if (Clock::now() >= deadline) break;
        ::usleep(5000);
    }
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) { }
    RecordStatus(status);
    FinishReader(kDrainAfterExitMs);
    return -1;
}

bool ServerProcess::Running()
{
    if (pid_ <= 0 || reaped_) return false;
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == 0) return true;
    if (r == pid_) {
        RecordStatus(status);
        FinishReader(kDrainAfterExitMs);
    } else {
        reaped_ = true;
    }
    return false;
}

size_t ServerProcess::OpenFdCount() const
{
    if (pid_ <= 0 || reaped_) return 0;
    std::string path = "/proc/" + std::to_string(pid_) + "/fd";
    DIR* d = ::opendir(path.c_str());
    if (d == nullptr) return 0;
    size_t n = 0;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    ::closedir(d);
    return n;
}

namespace {

size_t StatusField(pid_t pid, const std::string& field, const char* file = "status")
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) {
            return static_cast<size_t>(std::strtoull(line.c_str() + field.size(), nullptr, 10));
        }
    }
    return 0;
}

}  // namespace

size_t ServerProcess::ResidentKiB() const
{
    if (pid_ <= 0 || reaped_) return 0;
    return StatusField(pid_, "VmRSS:");
}

size_t ServerProcess::ThreadCount() const
{
    if (pid_ <= 0 || reaped_) return 0;
    return StatusField(pid_, "Threads:");
}

uint64_t ServerProcess::FileBytesRead() const
{
    if (pid_ <= 0 || reaped_) return 0;
    return StatusField(pid_, "rchar:", "io");
}

}  // namespace tarvos::test

#include "fuzz/FuzzSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hislip/MessageHeader.h"
#include "platform/Socket.h"

namespace tarvos::fuzz {

namespace {

using Clock = std::chrono::steady_clock;

// Longer than any stop may take: every wait of a worker ends on its stop event.
constexpr long kStopLimitMs = 3000;

std::string g_workDir;

long MsSince(Clock::time_point then)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - then).count());
}

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "tarvos fuzz harness: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

void SwallowDebugOutput(const char*) {}

void RemoveWorkDir()
{
    if (g_workDir.empty()) {
        return;
    }
    EmptyWorkingDirectory();
    if (::chdir("/") == 0) {
        ::rmdir(g_workDir.c_str());
    }
}

Server* MakeServer()
{
    platform::SocketsStartup();
    // The console lines of the file commands are of no interest here.
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devNull >= 0) {
        std::fflush(stdout);
        ::dup2(devNull, STDOUT_FILENO);
        ::close(devNull);
    }
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tarvos-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr || ::chdir(pattern.c_str()) != 0) {
        Fail("cannot create and enter a private working directory");
    }
    g_workDir = pattern;
    std::atexit(RemoveWorkDir);

    auto* server = new Server();
    std::FILE* sink = std::fopen("/dev/null", "w");
    if (sink == nullptr) {
        Fail("cannot open /dev/null");
    }
    server->SetLogStream(sink);
    server->SetVerbose(true);
    {
        ScopedLock guard(server->logLock);
        server->debugSink = &SwallowDebugOutput;
    }
    return server;
}

}  // namespace

void Framing::Check(const uint8_t* bytes, size_t length, const Feed& feed)
{
    while (length > 0) {
        if (skip > 0) {
            const size_t n = skip < length ? static_cast<size_t>(skip) : length;
            skip -= n;
            bytes += n;
            length -= n;
            continue;
        }
        const size_t n = sizeof(header) - have < length ? sizeof(header) - have : length;
        std::memcpy(header + have, bytes, n);
        have += n;
        bytes += n;
        length -= n;
        if (have < sizeof(header)) {
            return;
        }
        have = 0;
        if (header[0] != 'H' || header[1] != 'S') {
            Fail("the server sent a message without the HS prologue");
        }
        for (const uint8_t type : feed.forbiddenTypes) {
            if (header[2] == type) {
                const std::string what = std::string("the server sent ") + MessageTypeName(type) + " on the " + feed.name;
                Fail(what.c_str());
            }
        }
        skip = ReadBigEndian64(header + 8);
    }
}

Server& QuietServer()
{
    static Server* server = MakeServer();
    return *server;
}

void EmptyWorkingDirectory()
{
    DIR* dir = ::opendir(".");
    if (dir == nullptr) {
        return;
    }
    while (dirent* entry = ::readdir(dir)) {
        struct stat info {};
        if (::lstat(entry->d_name, &info) == 0 && !S_ISDIR(info.st_mode)) {
            ::unlink(entry->d_name);
        }
    }
    ::closedir(dir);
}

SocketPair MakeSocketPair()
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        Fail("socketpair failed");
    }
    return SocketPair {fds[0], fds[1]};
}

void AppendMessage(std::vector<uint8_t>& out, uint8_t type, uint8_t controlCode, uint32_t parameter,
                   const uint8_t* payload, size_t length)
{
    uint8_t wire[kHeaderSize];
    EncodeHeader(wire, type, controlCode, parameter, length);
    out.insert(out.end(), wire, wire + kHeaderSize);
    if (length != 0) {
        out.insert(out.end(), payload, payload + length);
    }
}

bool ReadHeader(int fd, uint8_t (&wire)[16], int timeoutMs)
{
    const auto start = Clock::now();
    size_t got = 0;
    while (got < sizeof(wire)) {
        const long left = timeoutMs - MsSince(start);
        pollfd entry {fd, POLLIN, 0};
        if (left <= 0) {
            return false;
        }
        const int ready = ::poll(&entry, 1, static_cast<int>(left));
        // libFuzzer's timer signal interrupts the wait now and then.
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        const ssize_t n = ::recv(fd, wire + got, sizeof(wire) - got, 0);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

void Pump(std::vector<Feed>& feeds, int quietMs, int capMs)
{
    struct Progress {
        size_t chunk = 0;
        size_t offset = 0;
        bool writeShut = false;
        bool ended = false;
        Framing framing;
    };
    std::vector<Progress> progress(feeds.size());
    for (size_t i = 0; i < feeds.size(); ++i) {
        ::fcntl(feeds[i].fd, F_SETFL, ::fcntl(feeds[i].fd, F_GETFL) | O_NONBLOCK);
        if (feeds[i].chunks.empty()) {
            ::shutdown(feeds[i].fd, SHUT_WR);
            progress[i].writeShut = true;
        }
    }
    static uint8_t drained[1 << 16];
    const auto start = Clock::now();
    auto lastMove = start;
    std::vector<pollfd> entries;
    std::vector<size_t> owners;
    for (;;) {
        entries.clear();
        owners.clear();
        for (size_t i = 0; i < feeds.size(); ++i) {
            if (!progress[i].ended) {
                const short events = static_cast<short>(POLLIN | (progress[i].writeShut ? 0 : POLLOUT));
                entries.push_back(pollfd {feeds[i].fd, events, 0});
                owners.push_back(i);
            }
        }
        if (entries.empty() || MsSince(start) >= capMs || MsSince(lastMove) >= quietMs) {
            return;
        }
        if (::poll(entries.data(), entries.size(), 5) <= 0) {
            continue;
        }
        for (size_t e = 0; e < entries.size(); ++e) {
            Feed& feed = feeds[owners[e]];
            Progress& p = progress[owners[e]];
            if ((entries[e].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                for (;;) {
                    const ssize_t n = ::recv(feed.fd, drained, sizeof(drained), 0);
                    if (n > 0) {
                        lastMove = Clock::now();
                        p.framing.Check(drained, static_cast<size_t>(n), feed);
                        continue;
                    }
                    if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                        p.ended = true;
                    }
                    break;
                }
            }
            if (!p.writeShut && !p.ended && (entries[e].revents & POLLOUT) != 0) {
                const std::vector<uint8_t>& chunk = feed.chunks[p.chunk];
                const ssize_t n = chunk.size() == p.offset
                                      ? 0
                                      : ::send(feed.fd, chunk.data() + p.offset, chunk.size() - p.offset,
                                               MSG_NOSIGNAL);
                if (n > 0) {
                    p.offset += static_cast<size_t>(n);
                    lastMove = Clock::now();
                } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    // The server has closed its side; nothing more can go out.
                    p.writeShut = true;
                }
                if (p.offset == chunk.size()) {
                    p.offset = 0;
                    if (++p.chunk == feed.chunks.size()) {
                        ::shutdown(feed.fd, SHUT_WR);
                        p.writeShut = true;
                    }
                }
            }
        }
    }
}

void StopAll(std::vector<Feed>& feeds, std::vector<Connection*>& connections)
{
    for (Feed& feed : feeds) {
        if (feed.fd >= 0) {
            ::close(feed.fd);
            feed.fd = -1;
        }
    }
    const auto start = Clock::now();
    for (Connection* connection : connections) {
        connection->GetChannel().WakeForStop();
    }
    for (Connection* connection : connections) {
        connection->Stop();
    }
    if (MsSince(start) > kStopLimitMs) {
        Fail("a worker kept running for seconds after its socket closed and Stop() was called");
    }
}

void CheckLockInvariants()
{
    const std::string broken = QuietServer().engine.lockTable.CheckInvariants();
    if (!broken.empty()) {
        Fail(("the lock table is inconsistent: " + broken).c_str());
    }
}

void CheckServerWideStateFree()
{
    Server& server = QuietServer();
    CheckLockInvariants();
    const LockTable::Snapshot state = server.engine.lockTable.Read();
    if (state.lockState != 0 || state.sharedLockClients != 0 || server.engine.lockTable.SessionCount() != 0) {
        Fail("the server-wide lock state is not free after every session ended");
    }
    if (server.engine.sessionTable.Occupied() != 0 || server.engine.sessionTable.Held() != 0) {
        Fail("a session ID is still held after every session ended");
    }
    if (server.engine.memory.Used() != 0) {
        Fail("the sessions' large buffers are not all given back to the budget after every session ended");
    }
    if (server.engine.liveSessions.load() != 0) {
        Fail("a session still lives (a channel still holds it) after every session ended");
    }
}

}  // namespace tarvos::fuzz

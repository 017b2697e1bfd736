// The socket calls of the test client and the in-process tests, for the POSIX
// socket layer and for Winsock (the unit tests also run as a Windows build).
// The client's calls never wait: one that would reports so, and the caller
// polls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <poll.h>
#endif

namespace tarvos::test {

#if defined(_WIN32)
using NativeSocket = SOCKET;
constexpr NativeSocket kNoSocket = INVALID_SOCKET;
#else
using NativeSocket = int;
constexpr NativeSocket kNoSocket = -1;
#endif

// Starts the socket library once (Winsock); true when sockets can be used.
bool SocketsReady();

// The error code of the last failed socket call, and its text.
int SocketErrorCode();
std::string SocketErrorText(int code);
// True for "would block" (also for a connect still in progress) and for an
// interrupted call, which the caller repeats.
bool WouldBlock(int code);
bool Interrupted(int code);

// A TCP socket of the family for a connect that does not wait; kNoSocket on
// failure.
NativeSocket OpenStreamSocket(int family);
// Readies a connected socket for the client's calls: a POSIX socket blocks
// again (its calls say themselves that they don't wait), a Winsock socket
// stays non-blocking (its calls can't).
void UseForClient(NativeSocket s);
void CloseSocket(NativeSocket s);
// Makes the next close send a reset instead of an orderly end.
void SetAbortiveClose(NativeSocket s);
// Shuts the sending direction down (the peer reads the end).
void ShutdownSending(NativeSocket s);

// Waits up to timeoutMs for the events (POLLIN, POLLOUT) on one socket: >0
// ready, 0 timed out, <0 failed.
int PollSocket(NativeSocket s, short events, int timeoutMs);

// One send or receive that does not wait: the count, 0 at the end (receive),
// -1 on failure or when it would block (SocketErrorCode tells which).
long SendNow(NativeSocket s, const char* data, size_t length);
long ReceiveNow(NativeSocket s, char* buffer, size_t length, bool peek = false);

// Sends all bytes, waiting for the peer to take them; false on failure.
bool SendEverything(NativeSocket s, const std::string& bytes);

// A connected stream pair on one machine (a local socket pair, or two TCP
// sockets over loopback where there are none), both ends blocking.
bool MakeSocketPair(NativeSocket pair[2]);

// Receives on s fail after ms instead of waiting for ever.
void SetReceiveTimeout(NativeSocket s, int ms);

}  // namespace tarvos::test

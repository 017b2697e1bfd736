// Stream sockets: the only place that talks to the operating system's socket
// layer. Every backend keeps these contracts; results are those of the server's
// own conventions (0 or -1 for set-up calls, byte counts for transfers), and
// LastSocketError() gives the system's error code of the call that failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvos::platform {

// A socket as the system names it: wide enough for every system's handles (a
// descriptor, or a 64-bit handle value).
using SocketHandle = std::intptr_t;
constexpr SocketHandle kInvalidSocket = -1;

// The two address families the server listens on.
enum class AddressFamily { IPv4, IPv6 };

// The number that traces print for a socket ("Socket[%X]").
inline unsigned TraceNumber(SocketHandle s)
{
    return static_cast<unsigned>(s);
}

// Prepares the process for socket use; a send on a connection the peer has
// closed must fail with an error, never end the process. False when sockets
// can't be used at all.
bool SocketsStartup();

// The error code of the last failed socket call on this thread.
int LastSocketError();
// True for the error of a blocking call that was interrupted and may be repeated.
bool IsInterruptedError(int error);
// True for the error of a send on a socket that has been shut down.
bool IsShutdownError(int error);

// A TCP stream socket of the family; IPv6 sockets are restricted to IPv6 so that
// both families can serve one port. kInvalidSocket on failure.
SocketHandle CreateStreamSocket(AddressFamily family);
// Binds to the unspecified address of the family on the port. 0 or -1.
int BindAny(SocketHandle s, AddressFamily family, uint16_t port);
// Reads the bound address back. 0 or -1.
int GetSocketName(SocketHandle s);
int Listen(SocketHandle s, int backlog);
// Accepts one connection without asking for the peer address; an interrupted
// call is repeated. kInvalidSocket on failure.
SocketHandle Accept(SocketHandle s);
// Keep-alive on, first probe after idleMs, then every intervalMs. 0 or -1.
int SetKeepAlive(SocketHandle s, unsigned idleMs, unsigned intervalMs);
int SetNoDelay(SocketHandle s);
// Raises the number of sockets and files the process may hold open to the
// most the system allows it.
void RaiseOpenFileLimit();

// One receive call: bytes received, 0 when the peer closed, -1 on error.
long Receive(SocketHandle s, void* buffer, size_t length);
// One send call: bytes sent or -1.
long Send(SocketHandle s, const void* buffer, size_t length);
// One piece of a gather send.
struct SendSlice {
    const void* data;
    size_t length;
};
// Gather send of many pieces, all handed over before it reports: bytes sent, or
// -1 when nothing could be sent.
long SendSlices(SocketHandle s, const SendSlice* slices, size_t count);
// One gather send of two buffers (the second may be empty): bytes sent or -1.
inline long SendGather(SocketHandle s, const void* first, size_t firstLength, const void* second,
                       size_t secondLength)
{
    const SendSlice slices[2] = {{first, firstLength}, {second, secondLength}};
    return SendSlices(s, slices, secondLength > 0 ? 2 : 1);
}
// Zero-timeout readability poll: the poll result (0 nothing, >0 readable, <0 error).
int PollReadable(SocketHandle s);
// The address of the connected peer as text, an IPv4 address mapped into IPv6
// written as plain IPv4 (so both spellings of one host compare equal); "local"
// for a socket that is not IP; empty when it can't be read.
std::string PeerAddress(SocketHandle s);
// True when the peer has shut its sending side down or the connection failed,
// even while bytes it sent before are still waiting to be read. Never blocks.
bool PeerHasHungUp(SocketHandle s);
// Stops a socket that another thread may be blocked on: shuts both directions
// down (the peer sees the end) and makes a receive, send or accept blocked on
// the socket in another thread return with a failure. The handle stays valid
// until it is closed. Every stop path of the server goes through this.
void ShutdownAndWake(SocketHandle s);
// Closes the handle. 0 or -1.
int CloseSocketHandle(SocketHandle s);

}  // namespace tarvos::platform

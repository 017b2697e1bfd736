#include "net/Connection.h"

#include "log/Log.h"

namespace tarvos {

Connection::Connection(Engine& engine) : log(&engine.log), channel(engine, socket) {}

Connection::~Connection()
{
    Stop();
    // A connection whose thread never started still owns its socket.
    CloseSocket();
}

void Connection::AttachSocket(platform::SocketHandle s)
{
    ScopedLock guard(lock);
    CloseSocketLocked();
    socket = s;
}

void Connection::CloseSocket()
{
    ScopedLock guard(lock);
    CloseSocketLocked();
}

void Connection::CloseSocketLocked()
{
    const platform::SocketHandle s = socket;
    if (s != platform::kInvalidSocket) {
        if (platform::CloseSocketHandle(s) != 0) {
            LogError(log, "Socket[%X]: closing socket failed with error %d", platform::TraceNumber(s),
                     platform::LastSocketError());
        }
    }
    socket = platform::kInvalidSocket;
}

void Connection::ShutDown()
{
    if (HasThread()) {
        ScopedLock guard(lock);
        // Shutting the socket down ends the worker's blocked receive or send;
        // waits of the worker (lock gate, sleep, lock request) end on the stop
        // event. The worker closes the socket itself when it has finished with
        // it, so its descriptor can't be reused under it by a new accept.
        if (socket != platform::kInvalidSocket) {
            platform::ShutdownAndWake(socket);
        }
        channel.WakeForStop();
    }
}

bool Connection::ServesClient()
{
    if (!IsRunning() || channel.HasEnded()) {
        return false;
    }
    // A client that has just closed is gone even before the worker has read
    // the end of its input.
    ScopedLock guard(lock);
    return socket != platform::kInvalidSocket && !platform::PeerHasHungUp(socket);
}

bool Connection::Stop()
{
    if (HasThread()) {
        ShutDown();
        Join();
        CloseSocket();
    }
    return true;
}

void Connection::Run()
{
    instrument.Reset();
    channel.ResetChannel();
    SignalStarted(true);

    // Past a rate a reader can follow, this connection's log lines are
    // counted instead of written (without -v); the lines that tell how the
    // connection ended pass the connection's rate, but not the server's.
    ConnectionLogScope logScope(log);
    const long result = instrument.Serve();
    logScope.EndConnectionRate();
    EndSession(result);
}

void Connection::EndSession(long result)
{
    const bool control = channel.IsAsync();
    if (result == -1) {
        LogError(log,
                 control ? "Socket[%X]: Error: Control channel closed with error %d"
                         : "Socket[%X]: Error: Data channel closed with error %d",
                 platform::TraceNumber(socket), channel.SocketError());
    } else if (result == 0) {
        LogVerbose(log, control ? "Socket[%X]: Control channel normally closed." : "Socket[%X]: Data channel normally closed.",
                   platform::TraceNumber(socket));
    }
    {
        ScopedLock guard(lock);
        platform::ShutdownAndWake(socket);
    }
    // The socket stays open until CloseSocket below, so the stop can shut it
    // down meanwhile; the connection's lock is not held while the partner
    // channel is awaited, so counting clients never waits for it.
    channel.CloseSession();
    CloseSocket();
    // The block buffer and the faults' memory need not stay allocated until
    // this connection serves its next client.
    instrument.ReleaseSessionMemory();
}

}  // namespace tarvos

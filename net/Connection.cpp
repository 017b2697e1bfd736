#include "net/Connection.h"

#include "console/Server.h"
#include "instrument/CommandTable.h"
#include "log/Log.h"

namespace tarvos {

Connection::Connection(Server* owner) : server(owner), channel(owner, &socket, &errorQueue)
{
    CommandTable::FillOnce();
}

Connection::~Connection()
{
    Stop();
    // A connection whose thread never started still owns its socket.
    CloseSocket(socket);
}

void Connection::AttachSocket(platform::SocketHandle s)
{
    ScopedLock guard(lock);
    if (socket != platform::kInvalidSocket) {
        CloseSocket(socket);
    }
    socket = s;
}

void Connection::CloseSocket(platform::SocketHandle& socketField)
{
    ScopedLock guard(lock);
    if (socketField != platform::kInvalidSocket) {
        if (platform::CloseSocketHandle(socketField) != 0) {
            LogError(server, "Socket[%X]: closing socket failed with error %d", static_cast<unsigned>(socketField),
                     platform::LastSocketError());
        }
    }
    socketField = platform::kInvalidSocket;
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
        CloseSocket(socket);
    }
    return true;
}

}  // namespace tarvos

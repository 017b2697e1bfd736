#include "net/Listener.h"

#include <new>

#include "hislip/Engine.h"
#include "log/Log.h"
#include "net/Connection.h"

namespace tarvos {

namespace {

constexpr unsigned kKeepAliveIdleMs = 30000;
constexpr unsigned kKeepAliveIntervalMs = 3000;

const char* FamilyName(platform::AddressFamily family)
{
    return family == platform::AddressFamily::IPv6 ? "IPv6" : "IPv4";
}

}  // namespace

Listener::Listener(Engine& owner, platform::AddressFamily addressFamily)
    : engine(owner), log(&owner.log), family(addressFamily)
{
}

Listener::~Listener()
{
    Stop();
    CloseAllConnections();
}

bool Listener::SetPort(uint16_t newPort)
{
    ScopedLock guard(lock);
    port = newPort;
    return true;
}

uint16_t Listener::GetPort()
{
    ScopedLock guard(lock);
    return port;
}

void Listener::CloseListenSocket()
{
    ScopedLock guard(lock);
    CloseListenSocketLocked();
}

void Listener::CloseListenSocketLocked()
{
    if (listenSocket != platform::kInvalidSocket) {
        platform::CloseSocketHandle(listenSocket);
        listenSocket = platform::kInvalidSocket;
    }
}

void Listener::BeginStop()
{
    ScopedLock guard(lock);
    stopping = true;
    stopEvent.Set();
    for (Connection* connection : connections) {
        connection->ShutDown();
    }
}

bool Listener::Stopping()
{
    ScopedLock guard(lock);
    return stopping;
}

bool Listener::Stop()
{
    try {
        if (HasThread()) {
            platform::SocketHandle s;
            {
                ScopedLock guard(lock);
                stopping = true;
                stopEvent.Set();
                s = listenSocket;
            }
            // The accept call blocks outside the lock; shutting the socket down
            // and waking the call makes it fail so that the accept loop ends. The thread closes the
            // socket itself on its way out, so the descriptor can't be reused
            // under a last accept call.
            if (s != platform::kInvalidSocket) {
                platform::ShutdownAndWake(s);
            }
            Join();
            CloseListenSocket();
        }
    } catch (...) {
    }
    return true;
}

void Listener::Run()
{
    platform::SocketHandle s;
    bool listenFailed = false;
    int listenError = 0;
    {
        ScopedLock guard(lock);
        stopping = false;
        stopEvent.Reset();
        listenSocket = platform::CreateStreamSocket(family);
        if (listenSocket == platform::kInvalidSocket) {
            LogVerbose(log, "Error: Cannot create socket. Failed with %d", platform::LastSocketError());
            SignalStarted(false);
            return;
        }
        if (platform::BindAny(listenSocket, family, port) != 0) {
            const int error = platform::LastSocketError();
            LogAlways(log, "Warning: bind of data channel failed with %d for %s", error, FamilyName(family));
            LogVerbose(log, "Warning: Cannot bind data channel to port %d for %s", port, FamilyName(family));
            platform::CloseSocketHandle(listenSocket);
            listenSocket = platform::kInvalidSocket;
            SignalStarted(false);
            return;
        }
        if (platform::GetSocketName(listenSocket) != 0) {
            LogVerbose(log, "Error: getsockname failed with %d", platform::LastSocketError());
            CloseListenSocketLocked();
            SignalStarted(false);
            return;
        }
        s = listenSocket;
        // Listen before the start is reported, so that a client connecting as
        // soon as the server counts as started is not refused. A failing listen
        // still counts as a start and ends the thread below.
        listenFailed = platform::Listen(s, 0x7FFFFFFF) != 0;
        listenError = listenFailed ? platform::LastSocketError() : 0;
        SignalStarted(true);
    }

    if (listenFailed) {
        LogVerbose(log, "Info: listen() returned %d", listenError);
    } else {
        for (;;) {
            const platform::SocketHandle accepted = platform::Accept(s);
            if (accepted == platform::kInvalidSocket) {
                const int error = platform::LastSocketError();
                LogAlways(log, "Error: accept() failed with error %d", error);
                if (Stopping()) {
                    break;
                }
                // Out of descriptors or memory, or a connection that was gone
                // before it could be taken: the clients already served go on,
                // and new ones are taken again once the shortage is over.
                LogError(log, "Error: accept() failed with error %d for %s, accepting again", error,
                         FamilyName(family));
                stopEvent.Wait(kAcceptRetryPauseMs);
                continue;
            }
            if (!ServeAccepted(accepted)) {
                stopEvent.Wait(kAcceptRetryPauseMs);
            }
        }
    }

    LogVerbose(log, "Terminating data channel server thread.");
    CloseListenSocket();
}

bool Listener::ServeAccepted(platform::SocketHandle accepted)
{
    ScopedLock guard(lock);
    if (stopping) {
        // A stopping server takes no new clients: the connection ends at once.
        platform::CloseSocketHandle(accepted);
        return true;
    }
    Connection* connection = nullptr;
    for (auto it = connections.begin(); it != connections.end(); ++it) {
        if (!(*it)->IsRunning()) {
            connection = *it;
            connections.erase(it);
            break;
        }
    }
    if (connection == nullptr) {
        connection = new (std::nothrow) Connection(engine);
        if (connection == nullptr) {
            LogVerbose(log, "Out of memory!");
            // The socket belongs to no connection; close it rather than leak it.
            platform::CloseSocketHandle(accepted);
            return false;
        }
    }
    if (platform::SetKeepAlive(accepted, kKeepAliveIdleMs, kKeepAliveIntervalMs) != 0) {
        LogVerbose(log, "Warning: Cannot set keep alive options. Failed with %d", platform::LastSocketError());
    }
    if (platform::SetNoDelay(accepted) != 0) {
        LogVerbose(log, "Warning: Cannot set TCP_NODELAY");
    }
    connection->AttachSocket(accepted);
    if (connection->Start()) {
        connections.push_back(connection);
    } else {
        delete connection;
    }
    return true;
}

bool Listener::AnyConnectionRunning()
{
    ScopedLock guard(lock);
    for (Connection* connection : connections) {
        if (connection->IsRunning()) {
            return true;
        }
    }
    return false;
}

int Listener::CountConnections(bool (Connection::*holds)())
{
    ScopedLock guard(lock);
    int count = 0;
    for (Connection* connection : connections) {
        if ((connection->*holds)()) {
            ++count;
        }
    }
    return count;
}

int Listener::RunningConnectionCount()
{
    return CountConnections(&Connection::IsRunning);
}

int Listener::ClientConnectionCount()
{
    return CountConnections(&Connection::ServesClient);
}

size_t Listener::ConnectionObjectCount()
{
    ScopedLock guard(lock);
    return connections.size();
}

bool Listener::CloseAllConnections()
{
    bool any = false;
    for (;;) {
        Connection* connection = nullptr;
        {
            ScopedLock guard(lock);
            if (connections.empty()) {
                break;
            }
            connection = connections.front();
            connections.pop_front();
        }
        // The connection's worker may count connections for the single-client
        // check, which takes this listener's lock: stop and wait for it outside.
        if (connection->Stop()) {
            any = true;
        }
        delete connection;
    }
    return any;
}

}  // namespace tarvos

#include "net/Listener.h"

#include <new>

#include "console/Server.h"
#include "log/Log.h"
#include "net/Connection.h"

namespace tarvos {

namespace {

constexpr unsigned kKeepAliveIdleMs = 30000;
constexpr unsigned kKeepAliveIntervalMs = 3000;

const char* FamilyName(int family)
{
    return family == platform::kFamilyIPv6 ? "IPv6" : "IPv4";
}

}  // namespace

Listener::Listener(Server* owner, int addressFamily) : server(owner), family(addressFamily) {}

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
    if (listenSocket != platform::kInvalidSocket) {
        platform::CloseSocketHandle(listenSocket);
        listenSocket = platform::kInvalidSocket;
    }
}

bool Listener::Stop()
{
    try {
        if (HasThread()) {
            platform::SocketHandle s;
            {
                ScopedLock guard(lock);
                s = listenSocket;
            }
            // The accept call blocks outside the lock; shutting the socket down
            // makes it fail so that the accept loop ends.
            if (s != platform::kInvalidSocket) {
                platform::ShutdownBoth(s);
            }
            CloseListenSocket();
            Join();
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
        listenSocket = platform::CreateStreamSocket(family);
        if (listenSocket == platform::kInvalidSocket) {
            LogVerbose(server, "Error: Cannot create socket. Failed with %d", platform::LastSocketError());
            SignalStarted(false);
            return;
        }
        if (platform::BindAny(listenSocket, family, port) != 0) {
            const int error = platform::LastSocketError();
            LogAlways(server, "Warning: bind of data channel failed with %d for %s", error, FamilyName(family));
            LogVerbose(server, "Warning: Cannot bind data channel to port %d for %s", port, FamilyName(family));
            platform::CloseSocketHandle(listenSocket);
            listenSocket = platform::kInvalidSocket;
            SignalStarted(false);
            return;
        }
        if (platform::GetSocketName(listenSocket) != 0) {
            LogVerbose(server, "Error: getsockname failed with %d", platform::LastSocketError());
            CloseListenSocket();
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
        LogVerbose(server, "Info: listen() returned %d", listenError);
    } else {
        for (;;) {
            const platform::SocketHandle accepted = platform::Accept(s);
            if (accepted == platform::kInvalidSocket) {
                LogAlways(server, "Error: accept() failed with error %d", platform::LastSocketError());
                break;
            }
            bool outOfMemory = false;
            ServeAccepted(accepted, outOfMemory);
            if (outOfMemory) {
                break;
            }
        }
    }

    LogVerbose(server, "Terminating data channel server thread.");
    CloseListenSocket();
}

void Listener::ServeAccepted(platform::SocketHandle accepted, bool& outOfMemory)
{
    ScopedLock guard(lock);
    Connection* connection = nullptr;
    for (auto it = connections.begin(); it != connections.end(); ++it) {
        if (!(*it)->IsRunning()) {
            connection = *it;
            connections.erase(it);
            break;
        }
    }
    if (connection == nullptr) {
        connection = new (std::nothrow) Connection(server);
        if (connection == nullptr) {
            LogVerbose(server, "Out of memory!");
            // The socket belongs to no connection; close it rather than leak it.
            platform::CloseSocketHandle(accepted);
            outOfMemory = true;
            return;
        }
    }
    if (platform::SetKeepAlive(accepted, kKeepAliveIdleMs, kKeepAliveIntervalMs) != 0) {
        LogVerbose(server, "Warning: Cannot set keep alive options. Failed with %d", platform::LastSocketError());
    }
    if (platform::SetNoDelay(accepted) != 0) {
        LogVerbose(server, "Warning: Cannot set TCP_NODELAY");
    }
    connection->AttachSocket(accepted);
    if (connection->Start()) {
        connections.push_back(connection);
    } else {
        delete connection;
    }
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

int Listener::RunningConnectionCount()
{
    ScopedLock guard(lock);
    int count = 0;
    for (Connection* connection : connections) {
        if (connection->IsRunning()) {
            ++count;
        }
    }
    return count;
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

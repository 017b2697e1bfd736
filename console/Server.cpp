#include "console/Server.h"

#include "net/Listener.h"
#include "platform/Console.h"
#include "platform/Socket.h"

namespace tarvos {

Server::Server()
{
    ipv4Listener = new Listener(engine, platform::AddressFamily::IPv4);
    ipv6Listener = new Listener(engine, platform::AddressFamily::IPv6);
}

Server::~Server()
{
    delete ipv4Listener;
    ipv4Listener = nullptr;
    delete ipv6Listener;
    ipv6Listener = nullptr;
}

bool Server::SetVerbose(bool on)
{
    ScopedLock guard(logLock);
    // Error lines restore these after their colour.
    savedConsoleAttributes = platform::SaveConsoleAttributes();
    verbose = on;
    return true;
}

bool Server::SetLogStream(std::FILE* stream)
{
    ScopedLock guard(logLock);
    logStream = stream;
    return stream != nullptr;
}

bool Server::SetPort(uint16_t port)
{
    ipv4Listener->SetPort(port);
    ipv6Listener->SetPort(port);
    return true;
}

uint16_t Server::GetPort()
{
    return ipv4Listener->GetPort();
}

bool Server::Start()
{
    const bool ipv4 = ipv4Listener->Start();
    const bool ipv6 = ipv6Listener->Start();
    return ipv4 || ipv6;
}

bool Server::Stop()
{
    // Refuse new clients and tell every connection of both families to end
    // first, then wait for them: the two channels of a session end together
    // instead of one waiting for the other, and a client connecting meanwhile
    // can't keep the stop from ending.
    ipv4Listener->BeginStop();
    ipv6Listener->BeginStop();
    if (ipv4Listener->AnyConnectionRunning()) {
        ipv4Listener->CloseAllConnections();
    }
    if (ipv6Listener->AnyConnectionRunning()) {
        ipv6Listener->CloseAllConnections();
    }
    ipv4Listener->Stop();
    ipv6Listener->Stop();
    // Lines that the server-wide rate held back at the end are counted too.
    ReportSuppressedLines(this);
    return true;
}

int Server::OpenConnectionCount()
{
    return ipv4Listener->RunningConnectionCount() + ipv6Listener->RunningConnectionCount();
}

int Server::ClientConnectionCount()
{
    return ipv4Listener->ClientConnectionCount() + ipv6Listener->ClientConnectionCount();
}

}  // namespace tarvos

// Entry point: switches, banner, settings, listeners and the console loop.
#include <cstdio>
#include <string>
#include <vector>

#include "console/Announcement.h"
#include "console/CommandLine.h"
#include "console/Server.h"
#include "platform/Console.h"
#include "platform/ServiceAnnouncer.h"
#include "platform/Socket.h"

namespace {

void PrintStatus(tarvos::Server* server)
{
    std::printf("Number of open socket connections : %d\n", server->OpenConnectionCount());
    const tarvos::LockTable::Snapshot locks = server->engine.lockTable.Read();
    std::printf("Global lock state of server       : ");
    switch (locks.lockState) {
    case 0:
        std::printf("not locked\n");
        break;
    case tarvos::kLockStateShared:
        std::printf("shared locked\n");
        break;
    case tarvos::kLockStateExclusive:
        std::printf("exclusive locked\n");
        break;
    case tarvos::kLockStateShared | tarvos::kLockStateExclusive:
        std::printf("both locked\n");
        break;
    default:
        break;
    }
    std::printf("Number of clients that share the shared lock: %d\n", locks.sharedLockClients);
}

}  // namespace

int main(int argc, char** argv)
{
    // Console text leaves line by line, also when standard output is a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    if (!tarvos::platform::SocketsStartup()) {
        return 1;
    }
    tarvos::platform::RaiseOpenFileLimit();
    auto* server = new tarvos::Server();

    std::printf("Tarvos %s - HiSLIP 1.0 test and reference server\n", TARVOS_VERSION);

    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const tarvos::ParseOutcome parsed =
        tarvos::ParseCommandLine(arguments, tarvos::platform::ServiceAnnouncer::Available());
    std::fputs(parsed.output.c_str(), stdout);
    if (parsed.exitCode >= 0) {
        delete server;
        std::fflush(stdout);
        return parsed.exitCode;
    }
    const tarvos::Settings& settings = parsed.settings;

    std::fputs(tarvos::OptionsText(settings).c_str(), stdout);
    server->SetVerbose(settings.verbose);
    server->settings.singleConnection = settings.singleConnection;
    server->settings.slowMode = settings.slowMode;
    server->settings.blockingUnlock = settings.blockingUnlock;
    server->SetLogStream(stderr);
    server->SetPort(static_cast<uint16_t>(settings.port));
    std::printf("is listening on Port %lu\n", static_cast<unsigned long>(server->GetPort()));

    tarvos::Announcement announcement(server);
    if (!server->Start()) {
        std::printf("\nFailed to start Server.\n");
    } else {
        if (settings.announce) {
            announcement.Start(server->GetPort());
        }
        // The stop signals are caught from here on: once the prompt is out, a
        // SIGTERM or SIGINT stops the server the way Enter does.
        tarvos::platform::ConsoleKeys keys;
        keys.Open();
        std::printf("\nPress [SPACE] to print current info. [ENTER] to stop Server ...\n");
        for (;;) {
            const int key = keys.ReadKey();
            if (key == ' ') {
                PrintStatus(server);
            } else if (key == '\r' || key == '\n') {
                break;
            }
        }
        keys.Close();
    }
    // Discovery stops offering the server before it stops serving.
    announcement.Stop();
    server->Stop();
    delete server;
    std::fflush(stdout);
    return 0;
}

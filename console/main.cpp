// Entry point: switches, banner, settings, listeners and the console loop.
#include <cstdio>
#include <string>
#include <vector>

#include "console/Announcement.h"
#include "console/CommandLine.h"
#include "console/Server.h"
#include "instrument/definition/Catalog.h"
#include "platform/Console.h"
#include "platform/ServiceAnnouncer.h"
#include "platform/Socket.h"

namespace {

void PrintStatus(tarvos::Server* server)
{
    tarvos::platform::ConsolePrint("Number of open socket connections : %d\n", server->OpenConnectionCount());
    const tarvos::LockTable::Snapshot locks = server->engine.lockTable.Read();
    tarvos::platform::ConsolePrint("Global lock state of server       : ");
    switch (locks.lockState) {
    case 0:
        tarvos::platform::ConsolePrint("not locked\n");
        break;
    case tarvos::kLockStateShared:
        tarvos::platform::ConsolePrint("shared locked\n");
        break;
    case tarvos::kLockStateExclusive:
        tarvos::platform::ConsolePrint("exclusive locked\n");
        break;
    case tarvos::kLockStateShared | tarvos::kLockStateExclusive:
        tarvos::platform::ConsolePrint("both locked\n");
        break;
    default:
        break;
    }
    tarvos::platform::ConsolePrint("Number of clients that share the shared lock: %d\n", locks.sharedLockClients);
}

}  // namespace

int main(int argc, char** argv)
{
    tarvos::platform::StartConsoleOutput();

    if (!tarvos::platform::SocketsStartup()) {
        return 1;
    }
    tarvos::platform::RaiseOpenFileLimit();
    auto* server = new tarvos::Server();

    tarvos::platform::ConsolePrint("Tarvos %s - HiSLIP 1.0 test and reference server\n", TARVOS_VERSION);

    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const tarvos::ParseOutcome parsed =
        tarvos::ParseCommandLine(arguments, tarvos::platform::ServiceAnnouncer::Available());
    tarvos::platform::ConsolePrint("%s", parsed.output.c_str());
    if (parsed.exitCode >= 0) {
        delete server;
        std::fflush(stdout);
        return parsed.exitCode;
    }
    const tarvos::Settings& settings = parsed.settings;

    tarvos::platform::ConsolePrint("%s", tarvos::OptionsText(settings).c_str());
    // A definition file is read whole before anything listens: a bad file
    // never starts a half server.
    tarvos::definition::Catalog* catalog = nullptr;
    if (!settings.definitionFile.empty()) {
        std::vector<tarvos::definition::Binding> bindings;
        std::string error;
        if (!tarvos::definition::LoadDefinitionFile(settings.definitionFile, bindings, error)) {
            tarvos::platform::ConsolePrint("Definition file error: %s\n", error.c_str());
            delete server;
            std::fflush(stdout);
            return 1;
        }
        catalog = new tarvos::definition::Catalog(bindings);
        for (size_t i = 0; i < catalog->Size(); ++i) {
            const tarvos::definition::Binding& b = catalog->At(i).Bound();
            tarvos::platform::ConsolePrint("%s: device \"%s\" of resource %s\n", b.subAddress.c_str(),
                                           b.device.c_str(), b.resource.c_str());
        }
        if (catalog->Size() == 0) {
            tarvos::platform::ConsolePrint("The definition file binds no resource\n");
        }
        tarvos::definition::Catalog::Install(catalog);
    }
    server->SetVerbose(settings.verbose);
    server->settings.singleConnection = settings.singleConnection;
    server->settings.slowMode = settings.slowMode;
    server->settings.blockingUnlock = settings.blockingUnlock;
    server->SetLogStream(stderr);
    server->SetPort(static_cast<uint16_t>(settings.port));
    tarvos::platform::ConsolePrint("is listening on Port %lu\n", static_cast<unsigned long>(server->GetPort()));

    tarvos::Announcement announcement(server);
    if (!server->Start()) {
        tarvos::platform::ConsolePrint("\nFailed to start Server.\n");
    } else {
        if (settings.announce) {
            announcement.Start(server->GetPort());
        }
        // The stop signals are caught from here on: once the prompt is out, a
        // The system's stop requests stop the server the way Enter does.
        tarvos::platform::ConsoleKeys keys;
        keys.Open();
        tarvos::platform::ConsolePrint("\nPress [SPACE] to print current info. [ENTER] to stop Server ...\n");
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
    tarvos::definition::Catalog::Install(nullptr);
    delete catalog;
    std::fflush(stdout);
    return 0;
}

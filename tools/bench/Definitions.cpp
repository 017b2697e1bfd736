#include "tools/bench/Definitions.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "instrument/definition/Loader.h"
#include "tests/support/ServerProcess.h"
#include "tools/bench/BenchClient.h"

namespace tarvos::bench {

namespace {

// One device with `count` properties, each with a getter, a setter and
// limits; the last one's setter is the one the benchmark sets.
std::string GeneratedDefinition(int count)
{
    std::string text = "spec: \"1.1\"\ndevices:\n  bench:\n    eom:\n      TCPIP INSTR:\n        q: \"\\n\"\n"
                       "        r: \"\\n\"\n    error: ERROR\n    dialogues:\n      - q: \"*IDN?\"\n"
                       "        r: \"Acme,Bench,0001,1.0\"\n    properties:\n";
    for (int i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        text += "      p" + n + ":\n        default: 1.0\n        getter:\n          q: \"SOUR" + n +
                ":VOLT?\"\n          r: \"{:.3f}\"\n        setter:\n          q: \"SOUR" + n +
                ":VOLT {:.3f}\"\n          r: \"OK\"\n        specs:\n          type: float\n          min: 0\n"
                "          max: 100\n";
    }
    text += "resources:\n  TCPIP::localhost::hislip0::INSTR:\n    device: bench\n";
    return text;
}

std::string WriteFile(const char* directory, const std::string& name, const std::string& text)
{
    const std::string path = std::string(directory) + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// Round trips of one query on one session for the time given.
double QueryRate(uint16_t port, const std::string& query, double seconds, const std::string& sub = "hislip0")
{
    Session s;
    if (!s.Open(port, sub)) {
        return -1;
    }
    Reader reader(s.sync);
    long count = 0;
    const auto start = Clock::now();
    while (Seconds(start) < seconds) {
        for (int i = 0; i < 64; ++i) {
            uint8_t type = 0;
            uint32_t parameter = 0;
            uint64_t length = 0;
            if (!s.Send(query) || !reader.Next(type, parameter, length) || type != kDataEnd) {
                s.Close();
                return -1;
            }
            s.rmt = true;
            ++count;
        }
    }
    const double elapsed = Seconds(start);
    s.Close();
    return static_cast<double>(count) / elapsed;
}

// Best of five loads, in milliseconds.
double LoadMs(const std::string& path)
{
    double best = 1e9;
    for (int i = 0; i < 5; ++i) {
        std::vector<definition::Binding> bindings;
        std::string error;
        const auto start = Clock::now();
        if (!definition::LoadDefinitionFile(path, bindings, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return -1;
        }
        best = std::min(best, Seconds(start) * 1000);
    }
    return best;
}

void RatioRow(const char* what, double server, double raw, const char* unit, double target)
{
    std::printf("| %-44s | %12.1f | %12.1f | %-6s | %5.2f | >= %.2f |\n", what, server, raw, unit,
                raw > 0 ? server / raw : 0.0, target);
}

}  // namespace

void DefinitionRows(double seconds, const char* directory, const std::function<double(double)>& rawRate)
{
    const std::string small = WriteFile(directory, "small.yaml", GeneratedDefinition(10));
    const std::string large = WriteFile(directory, "large.yaml", GeneratedDefinition(2000));
    // About the size of the largest definition of a lab framework's set: 80
    // properties, some 1,000 lines.
    const std::string typical = WriteFile(directory, "typical.yaml", GeneratedDefinition(80));
    test::ServerProcess server;
    test::ServerProcess serverLarge;
    if (!server.StartAndWaitReady({"-d", small}) || !serverLarge.StartAndWaitReady({"-d", large})) {
        std::fprintf(stderr, "definition servers did not start\n");
        return;
    }
    constexpr int kRounds = 5;
    const double slice = seconds / kRounds;
    double raw = 0;
    double builtIn = 0;
    double dialogue = 0;
    double getter = 0;
    double setter = 0;
    double setterLarge = 0;
    for (int round = 0; round < kRounds; ++round) {
        raw = std::max(raw, rawRate(slice));
        // The built-in instrument of the same server, on a sub-address the file leaves free.
        builtIn = std::max(builtIn, QueryRate(server.Port(), "*IDN?\n", slice, "hislip1"));
        dialogue = std::max(dialogue, QueryRate(server.Port(), "*IDN?\n", slice));
        getter = std::max(getter, QueryRate(server.Port(), "SOUR9:VOLT?\n", slice));
        setter = std::max(setter, QueryRate(server.Port(), "SOUR9:VOLT 12.500\n", slice));
        setterLarge = std::max(setterLarge, QueryRate(serverLarge.Port(), "SOUR1999:VOLT 12.500\n", slice));
    }
    RatioRow("built-in *IDN? round trips, same server", builtIn, raw, "1/s", 0.85);
    RatioRow("defined dialogue *IDN? round trips, 1 session", dialogue, raw, "1/s", 0.85);
    RatioRow("defined getter round trips, 1 session", getter, raw, "1/s", 0.85);
    RatioRow("defined setter round trips, 1 session", setter, raw, "1/s", 0.85);
    std::printf("  (defined against built-in *IDN?: dialogue %.2f, getter %.2f, setter %.2f)\n",
                builtIn > 0 ? dialogue / builtIn : 0.0, builtIn > 0 ? getter / builtIn : 0.0,
                builtIn > 0 ? setter / builtIn : 0.0);
    std::printf("  (setter among 2,000 properties: %.1f per s, %.2f of the setter among 10; target >= 0.50)\n",
                setterLarge, setter > 0 ? setterLarge / setter : 0.0);
    std::ifstream typicalFile(typical, std::ios::binary | std::ios::ate);
    const long long typicalBytes = static_cast<long long>(typicalFile.tellg());
    std::printf("  (loading %lld bytes, 80 properties: %.2f ms, target < 50 ms; 2,000 properties: %.2f ms, "
                "target < 500 ms)\n",
                typicalBytes, LoadMs(typical), LoadMs(large));
    server.SendKeys("\r");
    serverLarge.SendKeys("\r");
    server.WaitExit(30000);
    serverLarge.WaitExit(30000);
}

}  // namespace tarvos::bench

// Switches, port validation and the options block.
#include <gtest/gtest.h>

#include "console/CommandLine.h"
#include "platform/Console.h"
#include "platform/DebugSink.h"

namespace {

tarvos::ParseOutcome Parse(std::vector<std::string> arguments)
{
    return tarvos::ParseCommandLine(arguments);
}

TEST(CommandLine, SwitchLettersAfterDashOrSlash)
{
    auto outcome = Parse({"-1", "/B", "-slow", "-Verbose", "plain"});
    EXPECT_EQ(outcome.exitCode, -1);
    EXPECT_TRUE(outcome.settings.singleConnection);
    EXPECT_TRUE(outcome.settings.blockingUnlock);
    EXPECT_TRUE(outcome.settings.slowMode);
    EXPECT_TRUE(outcome.settings.verbose);
    EXPECT_EQ(outcome.settings.port, 4880u);
    EXPECT_EQ(outcome.output, "");

    outcome = Parse({"-x", "-", "/"});
    EXPECT_EQ(outcome.exitCode, -1);
    EXPECT_EQ(outcome.output, "Unknown option: -x\nUnknown option: -\nUnknown option: /\n");
}

TEST(CommandLine, PortRulesAndOverrides)
{
    EXPECT_EQ(Parse({"-P", "5000"}).settings.port, 5000u);
    EXPECT_EQ(Parse({"/p", "5000"}).settings.port, 5000u);
    EXPECT_EQ(Parse({"-p4000", "5001"}).settings.port, 5001u);
    EXPECT_EQ(Parse({"-p", "65534"}).settings.port, 65534u);
    EXPECT_EQ(Parse({"-p", "5000", "-p", "6000"}).settings.port, 6000u);
    EXPECT_EQ(Parse({"-p", "abc"}).settings.port, 4880u);
    EXPECT_EQ(Parse({"-p", "5000", "-p", "abc"}).settings.port, 5000u);
    EXPECT_EQ(Parse({"-p", " 7000x"}).settings.port, 7000u);

    auto outcome = Parse({"-p", "65535"});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.output, "Invalid PortNo: 65535\n");
    outcome = Parse({"-p", "0"});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.output, "Invalid PortNo: 0\n");
    outcome = Parse({"-v", "-p"});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.output, "Port is missing\n");
    // The port is consumed: a following switch still counts.
    outcome = Parse({"-p", "5000", "-v"});
    EXPECT_TRUE(outcome.settings.verbose);
}

TEST(CommandLine, OptionsBlockLinesInOrder)
{
    tarvos::Settings settings;
    EXPECT_EQ(tarvos::OptionsText(settings),
              "Options:\n- Multiple connections allowed\n- Verbose off\n- Unlock is non-blocking\n");
    settings.singleConnection = settings.verbose = settings.slowMode = settings.blockingUnlock = true;
    EXPECT_EQ(tarvos::OptionsText(settings),
              "Options:\n- Only one connection allowed\n- Verbose on\n"
              "- Slow mode sends byte by byte to client to test robustness\n- Unlock is blocking\n");
}

TEST(CommandLine, HelpFormsPrintUsageAndEndWithExitCodeZero)
{
    for (const char* form : {"-h", "-H", "/h", "-?", "/?", "--help", "-help"}) {
        auto outcome = Parse({"-v", form, "-p", "0"});
        EXPECT_EQ(outcome.exitCode, 0) << form;
        EXPECT_EQ(outcome.output, tarvos::UsageText(true)) << form;
    }
    // Switches before it are still read and reported; the port after it is not.
    auto outcome = Parse({"-x", "--help", "-p"});
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.output, "Unknown option: -x\n" + tarvos::UsageText(true));
    // A port error before it still ends the start with exit code 1.
    EXPECT_EQ(Parse({"-p", "0", "-h"}).exitCode, 1);
}

TEST(CommandLine, VersionEndsWithExitCodeZeroAndOtherLongFormsStayUnknown)
{
    auto outcome = Parse({"--version", "-p", "0"});
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.output, "");

    // Only the two long forms are known; -version is -v, as every switch is read
    // by its first letter.
    outcome = Parse({"--verbose", "--Help", "-version"});
    EXPECT_EQ(outcome.exitCode, -1);
    EXPECT_EQ(outcome.output, "Unknown option: --verbose\nUnknown option: --Help\n");
    EXPECT_TRUE(outcome.settings.verbose);
}

TEST(CommandLine, AnnounceSwitchIsOffUnlessGiven)
{
    EXPECT_FALSE(Parse({"-v", "-p", "5000"}).settings.announce);
    EXPECT_TRUE(Parse({"-m"}).settings.announce);
    EXPECT_TRUE(Parse({"/M"}).settings.announce);
    // The options block stays as it was: the announcement reports on the log.
    auto outcome = Parse({"-m"});
    EXPECT_EQ(tarvos::OptionsText(outcome.settings), tarvos::OptionsText(tarvos::Settings {}));
}

TEST(CommandLine, DefinitionFileSwitchTakesTheNextArgumentAndNeedsIt)
{
    auto outcome = Parse({"-v", "/D", "bench/supply.yaml", "-s"});
    EXPECT_EQ(outcome.exitCode, -1);
    EXPECT_EQ(outcome.settings.definitionFile, "bench/supply.yaml");
    EXPECT_TRUE(outcome.settings.slowMode);
    EXPECT_NE(tarvos::OptionsText(outcome.settings).find("- Instruments of bench/supply.yaml\n"), std::string::npos);
    outcome = Parse({"-d"});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.output, "Definition file is missing\n");
}

TEST(CommandLine, UsageNamesEverySwitchTheKeysAndTheLogs)
{
    const std::string usage = tarvos::UsageText(true);
    for (const char* line : {"\n  -1 ", "\n  -b ", "\n  -d <file> ", "\n  -m ", "\n  -p <port> ", "\n  -s ", "\n  -v ", "\n  -h, -? ",
                             "\n  --version "}) {
        EXPECT_NE(usage.find(line), std::string::npos) << line;
    }
    EXPECT_NE(usage.find("[SPACE]"), std::string::npos);
    EXPECT_NE(usage.find("[ENTER]"), std::string::npos);
    EXPECT_NE(usage.find("standard error"), std::string::npos);
    EXPECT_NE(usage.find(tarvos::platform::kDebugOutputPlace), std::string::npos);
    EXPECT_NE(usage.find(tarvos::platform::kStopRequests), std::string::npos);
    EXPECT_EQ(usage.find("not available"), std::string::npos);
    EXPECT_NE(tarvos::UsageText(false).find("-m          announce over multicast DNS: not available"), std::string::npos);
}

}  // namespace

// Switches, port validation and the options block.
#include <gtest/gtest.h>

#include "console/CommandLine.h"

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

}  // namespace

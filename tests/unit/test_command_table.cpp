// The command table: exact keys, filled once even from two threads.
#include <gtest/gtest.h>

#include <thread>

#include "console/Server.h"
#include "instrument/CommandTable.h"
#include "instrument/FileNames.h"
#include "net/Connection.h"
#include "instrument/Instrument.h"

namespace {

TEST(CommandTable, TwentyThreeExactKeysAfterConcurrentConstruction)
{
    tarvos::Server server;
    tarvos::Connection* made[8] = {};
    std::thread first([&] {
        for (int i = 0; i < 4; ++i) {
            made[i] = new tarvos::Connection(server.engine);
        }
    });
    std::thread second([&] {
        for (int i = 4; i < 8; ++i) {
            made[i] = new tarvos::Connection(server.engine);
        }
    });
    first.join();
    second.join();
    for (auto* connection : made) {
        delete connection;
    }
    EXPECT_EQ(tarvos::CommandTable::Size(), 33u);

    EXPECT_EQ(tarvos::CommandTable::Find("*IDN?"), &tarvos::Instrument::Identify);
    EXPECT_EQ(tarvos::CommandTable::Find(""), &tarvos::Instrument::EmptyCommand);
    EXPECT_EQ(tarvos::CommandTable::Find(":SYST:ERR?"), &tarvos::Instrument::NextError);
    EXPECT_EQ(tarvos::CommandTable::Find("*SRE"), &tarvos::Instrument::SetServiceRequestEnable);
    EXPECT_EQ(tarvos::CommandTable::Find("*SRE?"), &tarvos::Instrument::ServiceRequestEnableQuery);
    EXPECT_EQ(tarvos::CommandTable::Find(":MMEM:MSIS?"), &tarvos::Instrument::MassStorageQuery);
    EXPECT_EQ(tarvos::CommandTable::Find("MMEM:MSIS?"), nullptr);
    EXPECT_EQ(tarvos::CommandTable::Find(":SYSTEM:ERROR?"), nullptr);
    EXPECT_EQ(tarvos::CommandTable::Find("*IDN"), nullptr);
    EXPECT_EQ(tarvos::CommandTable::Find("*IDN?\r"), nullptr);
    EXPECT_EQ(tarvos::CommandTable::Find("*idn?"), nullptr) << "upper-casing is the worker's job";
    EXPECT_EQ(tarvos::CommandTable::Find(std::string("*IDN?\0", 6)), nullptr);
}

TEST(FileNames, RelativeNamesBelowTheWorkingDirectoryOnly)
{
    EXPECT_TRUE(tarvos::IsConfinedFileName("data.bin"));
    EXPECT_TRUE(tarvos::IsConfinedFileName("sub/dir/data.bin"));
    EXPECT_TRUE(tarvos::IsConfinedFileName("a..b"));
    EXPECT_TRUE(tarvos::IsConfinedFileName("..hidden"));
    EXPECT_FALSE(tarvos::IsConfinedFileName(""));
    EXPECT_FALSE(tarvos::IsConfinedFileName("/etc/passwd"));
    EXPECT_FALSE(tarvos::IsConfinedFileName("\\share"));
    EXPECT_FALSE(tarvos::IsConfinedFileName(".."));
    EXPECT_FALSE(tarvos::IsConfinedFileName("../x"));
    EXPECT_FALSE(tarvos::IsConfinedFileName("sub/../../x"));
    EXPECT_FALSE(tarvos::IsConfinedFileName("sub\\..\\x"));
    EXPECT_FALSE(tarvos::IsConfinedFileName("sub/.."));
    EXPECT_FALSE(tarvos::IsConfinedFileName(std::string("a\0b", 3)));
}

}  // namespace

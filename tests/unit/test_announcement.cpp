// The name under which -m announces the server.
#include <gtest/gtest.h>

#include "console/Announcement.h"

namespace {

TEST(Announcement, InstanceNameFitsOneLabelWithoutSplittingACharacter)
{
    EXPECT_EQ(tarvos::InstanceName("bench7"), "Tarvos on bench7");
    EXPECT_EQ(tarvos::InstanceName(""), "Tarvos");

    const std::string longHost(80, 'x');
    EXPECT_EQ(tarvos::InstanceName(longHost), "Tarvos on " + std::string(53, 'x'));

    // "Tarvos on " is 10 bytes; 26 two-byte characters end at byte 62, the 27th
    // would straddle the 63-byte limit and is left out whole.
    std::string wide;
    for (int i = 0; i < 30; ++i) wide += "\xC3\xA9";
    const std::string name = tarvos::InstanceName(wide);
    EXPECT_EQ(name.size(), 62u);
    EXPECT_EQ(name.substr(10), wide.substr(0, 52));
}

}  // namespace

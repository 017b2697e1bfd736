// The links between partner channels on their own: pairing replaces earlier
// partners, a pin keeps a channel from being unlinked until it is dropped (the
// unlink waits for it without polling), and nothing stays recorded afterwards.
#include <chrono>
#include <future>

#include <gtest/gtest.h>

#include "hislip/SessionLinks.h"

namespace tarvos {
namespace {

class SessionLinksTest : public ::testing::Test {
protected:
    // The links only compare and hand back the channels' addresses.
    Channel* Fake(int i) { return reinterpret_cast<Channel*>(&channels_[i]); }

    int channels_[4] = {};
    SessionLinks links;
};

TEST_F(SessionLinksTest, PairingReplacesEarlierPartnersOfBothChannels)
{
    EXPECT_EQ(links.Pin(Fake(0)), nullptr);
    links.Link(Fake(0), Fake(1));
    Channel* partner = links.Pin(Fake(0));
    EXPECT_EQ(partner, Fake(1));
    links.Unpin(partner);
    partner = links.Pin(Fake(1));
    EXPECT_EQ(partner, Fake(0));
    links.Unpin(partner);

    // Channel 1 pairs anew: channel 0 loses its partner.
    links.Link(Fake(2), Fake(1));
    EXPECT_EQ(links.Pin(Fake(0)), nullptr);
    partner = links.Pin(Fake(2));
    EXPECT_EQ(partner, Fake(1));
    links.Unpin(partner);

    links.Unlink(Fake(1));
    EXPECT_EQ(links.Pin(Fake(1)), nullptr);
    EXPECT_EQ(links.Pin(Fake(2)), nullptr);
    EXPECT_EQ(links.Size(), 0u);
}

TEST_F(SessionLinksTest, UnlinkWaitsForThePinsOnTheChannel)
{
    links.Link(Fake(0), Fake(1));
    // The partner's thread uses channel 1 twice at once.
    Channel* first = links.Pin(Fake(0));
    Channel* second = links.Pin(Fake(0));
    ASSERT_EQ(first, Fake(1));

    auto unlinked = std::async(std::launch::async, [&] { links.Unlink(Fake(1)); });
    EXPECT_EQ(unlinked.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    // The link itself is gone at once: no new pin can be taken meanwhile.
    EXPECT_EQ(links.Pin(Fake(0)), nullptr);
    links.Unpin(first);
    EXPECT_EQ(unlinked.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    const auto released = std::chrono::steady_clock::now();
    links.Unpin(second);
    ASSERT_EQ(unlinked.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_LT(std::chrono::steady_clock::now() - released, std::chrono::seconds(1));
    EXPECT_EQ(links.Size(), 0u);

    // A channel nobody pins unlinks at once, also one that never had a partner.
    links.Unlink(Fake(3));
    links.Link(Fake(2), Fake(3));
    links.Unlink(Fake(2));
    links.Unlink(Fake(3));
    EXPECT_EQ(links.Size(), 0u);
}

}  // namespace
}  // namespace tarvos

// The session table on its own: IDs from the lowest free slot, pairing only
// from the client address that opened the session, IDs given back when a
// session does not pair in time or ends.
#include <string>

#include <gtest/gtest.h>

#include "hislip/SessionTable.h"

namespace tarvos {
namespace {

using Pairing = SessionTable::Pairing;

class SessionTableTest : public ::testing::Test {
protected:
    Channel* Fake(int i) { return reinterpret_cast<Channel*>(&channels_[i]); }

    // Takes id from address at time now; the channel it was paired with, or null.
    Channel* Take(uint32_t id, const std::string& address, uint64_t now, Pairing expected)
    {
        Channel* linked = nullptr;
        EXPECT_EQ(table.Take(id, address, now, [&](Channel* sync) { linked = sync; }), expected) << "id " << id;
        return linked;
    }

    int channels_[8] = {};
    SessionTable table;
    const std::string here = "127.0.0.1";
    const std::string elsewhere = "127.0.0.2";
    static constexpr uint64_t kStart = 1000;
};

TEST_F(SessionTableTest, IdsComeFromTheLowestFreeSlotAndPairOnce)
{
    for (int i = 0; i < 5; ++i) EXPECT_EQ(table.Allocate(Fake(i), here, kStart), i + 1);
    EXPECT_EQ(table.Allocate(Fake(5), here, kStart), SessionTable::kNoSessionId);
    EXPECT_EQ(table.Occupied(), 5);

    EXPECT_EQ(Take(2, here, kStart + 1, Pairing::Paired), Fake(1));
    EXPECT_EQ(Take(2, here, kStart + 1, Pairing::UnknownId), nullptr);
    for (const uint32_t impossible : {0u, 6u, 0xFFFFu}) Take(impossible, here, kStart + 1, Pairing::UnknownId);
    // Only the low 16 bits name the slot.
    EXPECT_EQ(Take(0x10003u, here, kStart + 1, Pairing::Paired), Fake(2));
    EXPECT_EQ(table.Allocate(Fake(6), here, kStart + 2), 2);

    table.Forget(Fake(0));
    Take(1, here, kStart + 3, Pairing::UnknownId);
    EXPECT_EQ(table.Allocate(Fake(7), here, kStart + 3), 1);
    EXPECT_EQ(table.Occupied(), 4);
}

TEST_F(SessionTableTest, OnlyTheOpeningAddressPairsAndAnotherLeavesTheSlot)
{
    ASSERT_EQ(table.Allocate(Fake(0), here, kStart), 1);
    EXPECT_EQ(Take(1, elsewhere, kStart + 1, Pairing::OtherAddress), nullptr);
    EXPECT_EQ(Take(1, "", kStart + 1, Pairing::OtherAddress), nullptr);
    EXPECT_EQ(Take(1, here, kStart + 2, Pairing::Paired), Fake(0));

    ASSERT_EQ(table.Allocate(Fake(1), elsewhere, kStart), 1);
    EXPECT_EQ(Take(1, elsewhere, kStart + 1, Pairing::Paired), Fake(1));

    // A peer address that could not be read pairs with nobody, not even with
    // another such session.
    ASSERT_EQ(table.Allocate(Fake(2), "", kStart), 1);
    EXPECT_EQ(Take(1, "", kStart + 1, Pairing::OtherAddress), nullptr);
}

TEST_F(SessionTableTest, SessionThatDoesNotPairInTimeGivesItsIdBack)
{
    const uint64_t limit = SessionTable::kPairingTimeMs;
    for (int i = 0; i < 5; ++i) ASSERT_EQ(table.Allocate(Fake(i), here, kStart + static_cast<uint64_t>(i)), i + 1);

    // Just before its time is up the first still pairs; the others stay.
    EXPECT_EQ(table.Allocate(Fake(5), here, kStart + limit - 1), SessionTable::kNoSessionId);
    EXPECT_EQ(Take(1, here, kStart + limit - 1, Pairing::Paired), Fake(0));
    // From then on a slot whose time is up counts as empty and as free.
    Take(2, here, kStart + 1 + limit, Pairing::UnknownId);
    EXPECT_EQ(table.Allocate(Fake(5), here, kStart + 1 + limit), 1);
    EXPECT_EQ(table.Allocate(Fake(6), here, kStart + 1 + limit), 2);
    EXPECT_EQ(table.Allocate(Fake(7), here, kStart + 1 + limit), SessionTable::kNoSessionId);
    EXPECT_EQ(Take(2, here, kStart + 2 + limit, Pairing::Paired), Fake(6));

    // An expired slot is still cleared when its channel ends.
    EXPECT_EQ(table.Occupied(), 4);
    for (int i = 0; i < 8; ++i) table.Forget(Fake(i));
    EXPECT_EQ(table.Occupied(), 0);
}

}  // namespace
}  // namespace tarvos

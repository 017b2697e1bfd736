// The session table on its own: IDs taken in turn and never held twice,
// pairing only from the client address that opened the session, bounds on the
// sessions that wait for pairing (per address and overall, the oldest going
// first), and IDs given back when a session ends.
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hislip/SessionTable.h"

namespace tarvos {
namespace {

using Pairing = SessionTable::Pairing;

class SessionTableTest : public ::testing::Test {
protected:
    Channel* Fake(size_t i)
    {
        if (channels_.size() <= i) channels_.resize(i + 1);
        return reinterpret_cast<Channel*>(&channels_[i]);
    }

    // Takes id from address at time now; the channel it was paired with, or null.
    Channel* Take(uint32_t id, const std::string& address, uint64_t now, Pairing expected)
    {
        Channel* linked = nullptr;
        EXPECT_EQ(table.Take(id, address, now, [&](Channel* sync) { linked = sync; }), expected) << "id " << id;
        return linked;
    }

    std::vector<int> channels_ = std::vector<int>(4096);
    SessionTable table;
    const std::string here = "127.0.0.1";
    const std::string elsewhere = "127.0.0.2";
    static constexpr uint64_t kStart = 1000;
};

TEST_F(SessionTableTest, IdsComeInTurnPairOnceAndAreNotReusedSoon)
{
    for (int i = 0; i < 5; ++i) EXPECT_EQ(table.Allocate(Fake(i), here, kStart), i + 1);
    // A sixth waiting session gets an ID too.
    EXPECT_EQ(table.Allocate(Fake(5), here, kStart), 6);
    EXPECT_EQ(table.Occupied(), 6);

    EXPECT_EQ(Take(2, here, kStart + 1, Pairing::Paired), Fake(1));
    EXPECT_EQ(Take(2, here, kStart + 1, Pairing::UnknownId), nullptr);
    for (const uint32_t impossible : {0u, 7u, 0xFFFFu}) Take(impossible, here, kStart + 1, Pairing::UnknownId);
    // Only the low 16 bits name the session.
    EXPECT_EQ(Take(0x10003u, here, kStart + 1, Pairing::Paired), Fake(2));

    // A paired session keeps its ID, and an ended one's ID comes back only
    // after every other ID: the next ones go on counting.
    table.Forget(Fake(0));
    Take(1, here, kStart + 3, Pairing::UnknownId);
    EXPECT_EQ(table.Allocate(Fake(6), here, kStart + 3), 7);
    EXPECT_EQ(table.Occupied(), 4);
    EXPECT_EQ(table.Held(), 6u);

    // All the way round, an ID still held by a live session is passed over.
    std::set<uint16_t> given;
    for (size_t i = 0; i < SessionTable::kLastSessionId - 6; ++i) {
        const uint16_t id = table.Allocate(Fake(7 + i % 8), here, kStart + 4);
        ASSERT_NE(id, SessionTable::kNoSessionId);
        given.insert(id);
        table.Forget(Fake(7 + i % 8));
    }
    EXPECT_EQ(given.count(1), 1u);
    for (const uint16_t held : {2, 3, 4, 5, 6, 7}) EXPECT_EQ(given.count(held), 0u) << held;
}

TEST_F(SessionTableTest, OnlyTheOpeningAddressPairsAndAnotherLeavesTheSessionWaiting)
{
    ASSERT_EQ(table.Allocate(Fake(0), here, kStart), 1);
    EXPECT_EQ(Take(1, elsewhere, kStart + 1, Pairing::OtherAddress), nullptr);
    EXPECT_EQ(Take(1, "", kStart + 1, Pairing::OtherAddress), nullptr);
    EXPECT_EQ(Take(1, here, kStart + 2, Pairing::Paired), Fake(0));

    ASSERT_EQ(table.Allocate(Fake(1), elsewhere, kStart), 2);
    EXPECT_EQ(Take(2, elsewhere, kStart + 1, Pairing::Paired), Fake(1));

    // A peer address that could not be read pairs with nobody, not even with
    // another such session.
    ASSERT_EQ(table.Allocate(Fake(2), "", kStart), 3);
    EXPECT_EQ(Take(3, "", kStart + 1, Pairing::OtherAddress), nullptr);
}

TEST_F(SessionTableTest, SessionThatDoesNotPairInTimeCanNotPairAnyMore)
{
    const uint64_t limit = SessionTable::kPairingTimeMs;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(table.Allocate(Fake(i), here, kStart + static_cast<uint64_t>(i)), i + 1);

    // Just before its time is up the first still pairs; after it, the second
    // no longer does.
    EXPECT_EQ(Take(1, here, kStart + limit - 1, Pairing::Paired), Fake(0));
    Take(2, here, kStart + 1 + limit, Pairing::UnknownId);
    EXPECT_EQ(table.Allocate(Fake(3), here, kStart + 2 + limit), 4);
    EXPECT_EQ(table.Occupied(), 1);
    EXPECT_EQ(Take(4, here, kStart + 3 + limit, Pairing::Paired), Fake(3));

    // An unpairable session still holds its ID until its channel ends.
    EXPECT_EQ(table.Held(), 4u);
    for (int i = 0; i < 4; ++i) table.Forget(Fake(static_cast<size_t>(i)));
    EXPECT_EQ(table.Held(), 0u);
    EXPECT_EQ(table.Occupied(), 0);
}

TEST_F(SessionTableTest, OneAddressCanNotCrowdOutTheOthersAndItsOldestWaitingSessionGoesFirst)
{
    const int perAddress = SessionTable::kWaitingPerAddress;
    // A client address that never pairs: each session past the bound makes its
    // own oldest one unpairable.
    std::vector<uint16_t> ids;
    for (int i = 0; i < perAddress + 10; ++i) {
        ids.push_back(table.Allocate(Fake(static_cast<size_t>(i)), elsewhere, kStart + static_cast<uint64_t>(i)));
    }
    EXPECT_EQ(table.Occupied(), perAddress);
    for (int i = 0; i < 10; ++i) Take(ids[static_cast<size_t>(i)], elsewhere, kStart + 200, Pairing::UnknownId);
    EXPECT_EQ(Take(ids[10], elsewhere, kStart + 200, Pairing::Paired), Fake(10));

    // Another address opens and pairs as usual meanwhile.
    const uint16_t honest = table.Allocate(Fake(1000), here, kStart + 201);
    ASSERT_NE(honest, SessionTable::kNoSessionId);
    EXPECT_EQ(Take(honest, here, kStart + 202, Pairing::Paired), Fake(1000));

    // Over all addresses at most kWaitingLimit wait; the oldest goes first.
    const int limit = SessionTable::kWaitingLimit;
    std::vector<uint16_t> many;
    for (int i = 0; i < limit + 1; ++i) {
        const std::string address = "10.0." + std::to_string(i / 50) + "." + std::to_string(i % 50);
        many.push_back(table.Allocate(Fake(static_cast<size_t>(1100 + i)), address, kStart + 300 + static_cast<uint64_t>(i)));
    }
    EXPECT_EQ(table.Occupied(), limit);
    EXPECT_EQ(Take(many.back(), "10.0.20.24", kStart + 2000, Pairing::Paired), Fake(static_cast<size_t>(1100 + limit)));
}

}  // namespace
}  // namespace tarvos

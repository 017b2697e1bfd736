// SCPI error texts, entry format and the bounded first-in first-out queue.
#include <gtest/gtest.h>

#include "instrument/ErrorQueue.h"

namespace {

TEST(ErrorText, SingleCodesAndCatchAllRowsInOrder)
{
    EXPECT_STREQ(tarvos::ErrorText(0), "No error");
    EXPECT_STREQ(tarvos::ErrorText(-113), "Undefined header");
    EXPECT_STREQ(tarvos::ErrorText(-110), "Command header error");
    EXPECT_STREQ(tarvos::ErrorText(-119), "Command header error");
    EXPECT_STREQ(tarvos::ErrorText(-1), "Command header error");
    EXPECT_STREQ(tarvos::ErrorText(5), "Command header error");
    EXPECT_STREQ(tarvos::ErrorText(-120), "Numeric data error");
    EXPECT_STREQ(tarvos::ErrorText(-122), "Hardware error");
    EXPECT_STREQ(tarvos::ErrorText(-240), "Hardware error");
    EXPECT_STREQ(tarvos::ErrorText(-241), "Hardware missing");
    EXPECT_STREQ(tarvos::ErrorText(-249), "Hardware error");
    EXPECT_STREQ(tarvos::ErrorText(-250), "Mass storage error");
    EXPECT_STREQ(tarvos::ErrorText(-251), "Missing mass storage");
    EXPECT_STREQ(tarvos::ErrorText(-259), "Unknown Error");
    EXPECT_STREQ(tarvos::ErrorText(-999), "Unknown Error");
    EXPECT_STREQ(tarvos::ErrorText(-800), "Operation complete");
    EXPECT_STREQ(tarvos::ErrorText(-350), "Queue overflow");
    EXPECT_STREQ(tarvos::ErrorText(-170), tarvos::ErrorText(-260));
    EXPECT_STREQ(tarvos::ErrorText(-180), tarvos::ErrorText(-270));
    EXPECT_STREQ(tarvos::ErrorText(-184), "Macro parameter error");
    EXPECT_STREQ(tarvos::ErrorText(-274), "Macro parameter error");
}

TEST(FormatError, CodeTextAndOptionalDetail)
{
    EXPECT_EQ(tarvos::FormatError(0), "0,\"No error\"");
    EXPECT_EQ(tarvos::FormatError(-113, "ABC"), "-113,\"Undefined header;ABC\"");
    EXPECT_EQ(tarvos::FormatError(-109, ""), "-109,\"Missing parameter\"");
    EXPECT_EQ(tarvos::FormatError(-113, "A\"B"), "-113,\"Undefined header;A\"B\"");
    EXPECT_EQ(tarvos::FormatError(-410), "-410,\"Query INTERRUPTED\"");
}

TEST(ErrorQueue, FirstInFirstOutAndOverflowReplacesNewest)
{
    tarvos::ErrorQueue queue;
    EXPECT_TRUE(queue.Empty());
    queue.PushError("first");
    queue.PushError("second");
    EXPECT_EQ(queue.Front(), "first");
    queue.PopFront();
    EXPECT_EQ(queue.Front(), "second");
    queue.PopFront();
    EXPECT_TRUE(queue.Empty());

    for (size_t i = 0; i < tarvos::ErrorQueue::kCapacity + 50; ++i) {
        queue.PushError("entry " + std::to_string(i));
    }
    EXPECT_EQ(queue.Size(), tarvos::ErrorQueue::kCapacity);
    EXPECT_EQ(queue.Front(), "entry 0");
    for (size_t i = 0; i + 1 < tarvos::ErrorQueue::kCapacity; ++i) {
        EXPECT_EQ(queue.Front(), "entry " + std::to_string(i));
        queue.PopFront();
    }
    EXPECT_EQ(queue.Front(), "-350,\"Queue overflow\"");
    queue.PopFront();
    EXPECT_TRUE(queue.Empty());
    queue.PushError("again");
    queue.Clear();
    EXPECT_TRUE(queue.Empty());
}

}  // namespace

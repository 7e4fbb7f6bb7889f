// Receive FIFO: ring arithmetic, the kept-free slot, wrap-around and the fill percentage.
#include <gtest/gtest.h>

#include <vector>

#include "datapath/rx_fifo.h"

namespace {

class RxFifoTest : public ::testing::Test {
protected:
    void Init(ULONG size)
    {
        storage.assign(size, 0);
        FifoInit(&fifo, storage.data(), size);
    }

    ULONG Offset(PUCHAR position) const { return (ULONG)(position - storage.data()); }

    std::vector<UCHAR> storage;
    RX_FIFO fifo{};
};

TEST_F(RxFifoTest, FifoPut_FailsWhenOneSlotLeft)
{
    Init(16);
    for (UCHAR i = 0; i < 15; i++) {
        ASSERT_TRUE(FifoPut(&fifo, i)) << "put " << int(i);
    }
    EXPECT_TRUE(FifoIsFull(&fifo));
    RX_FIFO before = fifo;
    std::vector<UCHAR> contents = storage;

    EXPECT_FALSE(FifoPut(&fifo, 0xAA));
    EXPECT_EQ(before.Write, fifo.Write);
    EXPECT_EQ(before.Read, fifo.Read);
    EXPECT_EQ(contents, storage);
    EXPECT_EQ(15u, FifoCount(&fifo));
}

TEST_F(RxFifoTest, FifoCount_FollowsWrapAround)
{
    Init(8);
    UCHAR byte = 0;
    for (int i = 0; i < 6; i++) ASSERT_TRUE(FifoPut(&fifo, UCHAR(i)));
    for (int i = 0; i < 6; i++) ASSERT_TRUE(FifoGet(&fifo, &byte));
    for (int i = 0; i < 4; i++) ASSERT_TRUE(FifoPut(&fifo, UCHAR(10 + i)));

    EXPECT_EQ(6u, Offset(FifoReadPosition(&fifo)));
    EXPECT_EQ(2u, Offset(FifoWritePosition(&fifo)));
    EXPECT_EQ(4u, FifoCount(&fifo));
    EXPECT_FALSE(FifoIsFull(&fifo));

    for (int i = 0; i < 3; i++) EXPECT_TRUE(FifoPut(&fifo, UCHAR(20 + i)));
    EXPECT_FALSE(FifoPut(&fifo, 0xFF));
    EXPECT_EQ(7u, FifoCount(&fifo));

    // Bytes come out in the order they went in, across the wrap.
    const UCHAR expected[] = {10, 11, 12, 13, 20, 21, 22};
    for (UCHAR want : expected) {
        ASSERT_TRUE(FifoGet(&fifo, &byte));
        EXPECT_EQ(want, byte);
    }
    EXPECT_TRUE(FifoIsEmpty(&fifo));
}

TEST_F(RxFifoTest, FifoGet_OnEmptyLeavesDestination)
{
    Init(4);
    UCHAR byte = 0x5C;
    EXPECT_FALSE(FifoGet(&fifo, &byte));
    EXPECT_EQ(0x5C, byte);
    EXPECT_EQ(FifoReadPosition(&fifo), FifoWritePosition(&fifo));
}

TEST_F(RxFifoTest, FifoNext_WrapsFromLastByteToStart)
{
    Init(8);
    EXPECT_EQ(storage.data(), FifoNext(&fifo, storage.data() + 7));
    EXPECT_EQ(storage.data() + 4, FifoNext(&fifo, storage.data() + 3));
}

TEST_F(RxFifoTest, FifoReset_DiscardsContents)
{
    Init(8);
    UCHAR byte = 0;
    ASSERT_TRUE(FifoPut(&fifo, 1));
    ASSERT_TRUE(FifoPut(&fifo, 2));
    ASSERT_TRUE(FifoGet(&fifo, &byte));
    EXPECT_EQ(&fifo, FifoReset(&fifo));
    EXPECT_TRUE(FifoIsEmpty(&fifo));
    EXPECT_EQ(storage.data(), FifoReadPosition(&fifo));
    EXPECT_EQ(storage.data(), FifoWritePosition(&fifo));
    EXPECT_EQ(8u, FifoSize(&fifo));
}

struct FillCase {
    const char* name;
    ULONG size;
    ULONG count;
    ULONG percent;
};

class FifoFillPercentTest : public ::testing::TestWithParam<FillCase> {};

// Positions are set directly: the percentage depends only on Read, Write and the size.
TEST_P(FifoFillPercentTest, FifoFillPercent_Truncates)
{
    const FillCase& c = GetParam();
    std::vector<UCHAR> storage(c.size);
    RX_FIFO fifo;
    FifoInit(&fifo, storage.data(), c.size);
    fifo.Write = fifo.Start + c.count;
    EXPECT_EQ(c.count, FifoCount(&fifo));
    EXPECT_EQ(c.percent, FifoFillPercent(&fifo));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FifoFillPercentTest,
    ::testing::Values(FillCase{"Empty", 131072, 0, 0}, FillCase{"JustBelowHalf", 131072, 65535, 49},
                      FillCase{"Half", 131072, 65536, 50}, FillCase{"JustBelow80", 131072, 104857, 79},
                      FillCase{"At80", 131072, 104858, 80}, FillCase{"Full", 131072, 131071, 99},
                      // count * 100 no longer fits in 32 bits: must not wrap to a small percentage.
                      FillCase{"BeyondThirtyTwoBitProduct", 64u << 20, 48u << 20, 75}),
    [](const ::testing::TestParamInfo<FillCase>& info) { return info.param.name; });

TEST(RxFifoNoStorage, FifoFillPercent_RingWithoutStorageCountsAsFull)
{
    RX_FIFO fifo{};
    EXPECT_EQ(100u, FifoFillPercent(&fifo));
}

}  // namespace

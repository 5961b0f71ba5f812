#include "wire/PcapngQueue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Taken {
    std::uint32_t interfaceId;
    std::uint64_t timeNs;
    std::uint32_t originalSize;
    Bytes data;
    std::string comment;
};

bool PopInto(wire::PcapngQueue& queue, Taken& taken) {
    return queue.Pop([&](const wire::QueuedFrame& frame) {
        taken = {frame.interfaceId, frame.timeNs, frame.originalSize,
                 Bytes(frame.data, frame.data + frame.size), std::string(frame.comment)};
    });
}

Bytes Pattern(std::size_t size, std::uint8_t seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed * 31 + i);
    }
    return bytes;
}

// Lap after lap through a queue of 8 cells, frames of 0 to 3 cells land everywhere, also
// across the ring's end, and come out as they went in.
TEST(PcapngQueue, FramesComeOutWholeAndInOrderAlsoWhereTheRingWrapsThem) {
    wire::PcapngQueue queue(1, 300);
    ASSERT_EQ(queue.Cells(), 8u);
    std::size_t pushed = 0;
    std::size_t popped = 0;
    for (int round = 0; round < 200; ++round) {
        // Two frames in, one out: the queue fills, then refuses until a frame leaves.
        for (int i = 0; i < 2; ++i) {
            const std::size_t size = (pushed * 37) % 270;
            const Bytes data = Pattern(size, static_cast<std::uint8_t>(pushed));
            const std::string comment(pushed % 3, static_cast<char>('a' + pushed % 26));
            if (queue.Push(static_cast<std::uint32_t>(pushed % 4), pushed * 1000,
                           static_cast<std::uint32_t>(size + 1), data.data(), data.size(),
                           comment)) {
                ++pushed;
            }
        }
        Taken taken;
        if (PopInto(queue, taken)) {
            const std::size_t size = (popped * 37) % 270;
            EXPECT_EQ(taken.interfaceId, popped % 4);
            EXPECT_EQ(taken.timeNs, popped * 1000);
            EXPECT_EQ(taken.originalSize, size + 1);
            EXPECT_EQ(taken.data, Pattern(size, static_cast<std::uint8_t>(popped)));
            EXPECT_EQ(taken.comment, std::string(popped % 3, static_cast<char>('a' + popped % 26)));
            ++popped;
        }
    }
    EXPECT_GT(pushed, 150u);
    EXPECT_LT(popped, pushed);  // it was full on the way
    Taken taken;
    while (PopInto(queue, taken)) {
        ++popped;
    }
    EXPECT_EQ(popped, pushed);
    EXPECT_EQ(queue.CellsInUse(), 0u);
}

TEST(PcapngQueue, RefusesWhatDoesNotFitAndTakesFramesAgainOnceFreed) {
    wire::PcapngQueue queue(1, 300);
    const Bytes cell(100);  // with its header, one cell
    for (std::size_t i = 0; i < queue.Cells(); ++i) {
        ASSERT_TRUE(queue.Push(0, i, 100, cell.data(), cell.size(), {}));
    }
    EXPECT_FALSE(queue.Push(0, 9, 100, cell.data(), cell.size(), {}));
    Taken taken;
    ASSERT_TRUE(PopInto(queue, taken));
    EXPECT_TRUE(queue.Push(0, 9, 100, cell.data(), cell.size(), {}));
    const Bytes tooLarge(301);
    EXPECT_FALSE(queue.Push(0, 0, 301, tooLarge.data(), tooLarge.size(), {}));
}

}  // namespace

// Tests of the block-based memory stream: reads and writes across block
// boundaries, sparse sizing that commits no memory, shrinking (no stale bytes
// after regrowth) and reads at or past the end.
#include "io/IdStream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <span>
#include <vector>

namespace {

constexpr int64_t Block = TMemoryStream::BlockSize;

std::vector<uint8_t> Pattern(size_t size, uint8_t seed = 0) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>((i * 7 + seed) % 251 + 1);  // never 0
    }
    return bytes;
}

class MemoryStreamTest : public ::testing::Test {
protected:
    std::vector<uint8_t> ReadAt(int64_t position, int64_t count) {
        std::vector<uint8_t> out(static_cast<size_t>(count), 0xEE);
        stream_.SetPosition(position);
        out.resize(static_cast<size_t>(stream_.Read(out.data(), count)));
        return out;
    }

    TMemoryStream stream_;
};

TEST_F(MemoryStreamTest, WriteStraddlingBlocksReadsBack) {
    const auto data = Pattern(static_cast<size_t>(Block + 100));
    stream_.SetPosition(Block - 50);
    ASSERT_EQ(stream_.Write(data.data(), static_cast<int64_t>(data.size())), static_cast<int64_t>(data.size()));
    EXPECT_EQ(stream_.Position(), 2 * Block + 50);
    EXPECT_EQ(stream_.Size(), 2 * Block + 50);
    EXPECT_EQ(stream_.CommittedBytes(), 3 * Block);

    EXPECT_EQ(ReadAt(Block - 50, static_cast<int64_t>(data.size())), data);
    // A read across the start of the write: the bytes before it were never
    // written and read as zero.
    const auto around = ReadAt(Block - 60, 20);
    EXPECT_EQ(std::vector<uint8_t>(around.begin(), around.begin() + 10), std::vector<uint8_t>(10, 0));
    EXPECT_EQ(std::vector<uint8_t>(around.begin() + 10, around.end()),
              std::vector<uint8_t>(data.begin(), data.begin() + 10));

    const auto all = stream_.ToBytes();
    ASSERT_EQ(all.size(), static_cast<size_t>(2 * Block + 50));
    EXPECT_EQ(std::vector<uint8_t>(all.begin() + Block - 50, all.end()), data);
}

TEST_F(MemoryStreamTest, SparseSizeCommitsNothing) {
    stream_.SetSize(10 * Block);
    EXPECT_EQ(stream_.Size(), 10 * Block);
    EXPECT_EQ(stream_.CommittedBytes(), 0);
    EXPECT_EQ(ReadAt(3 * Block - 4, 8), std::vector<uint8_t>(8, 0));
    EXPECT_EQ(stream_.CommittedBytes(), 0);

    const uint8_t one = 0x5A;
    stream_.SetPosition(5 * Block + 3);
    stream_.Write(&one, 1);
    EXPECT_EQ(stream_.CommittedBytes(), Block);
    EXPECT_EQ(stream_.Size(), 10 * Block);
    EXPECT_EQ(ReadAt(5 * Block + 2, 3), (std::vector<uint8_t>{0, 0x5A, 0}));
}

TEST_F(MemoryStreamTest, ShrinkFreesBlocksAndRegrowthShowsZeros) {
    const auto data = Pattern(static_cast<size_t>(3 * Block));
    stream_.Write(data.data(), static_cast<int64_t>(data.size()));
    ASSERT_EQ(stream_.CommittedBytes(), 3 * Block);

    stream_.SetSize(Block + 10);
    EXPECT_EQ(stream_.Size(), Block + 10);
    EXPECT_EQ(stream_.CommittedBytes(), 2 * Block);
    EXPECT_EQ(stream_.Position(), 3 * Block);  // left past the end
    uint8_t byte = 0;
    EXPECT_EQ(stream_.Read(&byte, 1), 0);

    // Bytes cut off by the shrink must not come back.
    stream_.SetSize(3 * Block);
    EXPECT_EQ(ReadAt(Block, 10), std::vector<uint8_t>(data.begin() + Block, data.begin() + Block + 10));
    EXPECT_EQ(ReadAt(Block + 10, 20), std::vector<uint8_t>(20, 0));
    EXPECT_EQ(ReadAt(2 * Block, 5), std::vector<uint8_t>(5, 0));

    stream_.SetSize(0);
    EXPECT_EQ(stream_.CommittedBytes(), 0);
    EXPECT_EQ(stream_.Size(), 0);
}

TEST_F(MemoryStreamTest, ReadStopsAtTheEnd) {
    const auto data = Pattern(100);
    stream_.Write(data.data(), 100);
    EXPECT_EQ(ReadAt(90, 50), std::vector<uint8_t>(data.begin() + 90, data.end()));
    EXPECT_EQ(stream_.Position(), 100);
    EXPECT_TRUE(ReadAt(100, 10).empty());
    EXPECT_TRUE(ReadAt(5000, 10).empty());
    EXPECT_EQ(stream_.Position(), 5000);
    EXPECT_TRUE(ReadAt(0, 0).empty());
    uint8_t byte = 0xEE;
    EXPECT_EQ(stream_.Read(&byte, -1), 0);
    EXPECT_EQ(byte, 0xEE);
    EXPECT_EQ(stream_.Write(data.data(), -1), 0);
    EXPECT_EQ(stream_.Size(), 100);
}

TEST_F(MemoryStreamTest, WritePastTheEndFillsTheGapWithZeros) {
    const auto data = Pattern(10);
    stream_.Write(data.data(), 10);
    stream_.SetPosition(Block + 5);
    stream_.Write(data.data(), 10);
    EXPECT_EQ(stream_.Size(), Block + 15);
    const auto all = stream_.ToBytes();
    EXPECT_EQ(std::vector<uint8_t>(all.begin(), all.begin() + 10), data);
    EXPECT_EQ(std::vector<uint8_t>(all.begin() + 10, all.begin() + Block + 5),
              std::vector<uint8_t>(static_cast<size_t>(Block - 5), 0));
    EXPECT_EQ(std::vector<uint8_t>(all.begin() + Block + 5, all.end()), data);
}

TEST_F(MemoryStreamTest, OverwriteInsideKeepsSize) {
    const auto data = Pattern(1000);
    stream_.Write(data.data(), 1000);
    const uint8_t patch[3] = {0, 0, 0};
    stream_.SetPosition(500);
    stream_.Write(patch, 3);
    EXPECT_EQ(stream_.Size(), 1000);
    EXPECT_EQ(ReadAt(499, 5), (std::vector<uint8_t>{data[499], 0, 0, 0, data[503]}));
}

TEST_F(MemoryStreamTest, ClearReleasesEverything) {
    const auto data = Pattern(300000);
    stream_.Write(data.data(), 300000);
    stream_.Clear();
    EXPECT_EQ(stream_.Size(), 0);
    EXPECT_EQ(stream_.Position(), 0);
    EXPECT_EQ(stream_.CommittedBytes(), 0);
    EXPECT_TRUE(stream_.ToBytes().empty());
}

TEST_F(MemoryStreamTest, SmallBodySizedAheadCommitsOnlyItsSize) {
    const auto data = Pattern(100);
    stream_.SetSize(100);
    stream_.Write(data.data(), 100);
    EXPECT_EQ(stream_.CommittedBytes(), 100);
    EXPECT_EQ(stream_.ToBytes(), data);
}

TEST_F(MemoryStreamTest, FirstBlockGrowsWithoutLosingBytes) {
    const auto data = Pattern(static_cast<size_t>(Block + 500), 9);
    stream_.Write(data.data(), 10);
    EXPECT_EQ(stream_.CommittedBytes(), 10);
    stream_.Write(data.data() + 10, 3000);
    stream_.Write(data.data() + 3010, static_cast<int64_t>(data.size()) - 3010);
    EXPECT_EQ(stream_.CommittedBytes(), 2 * Block);
    EXPECT_EQ(stream_.ToBytes(), data);
}

TEST_F(MemoryStreamTest, ShrinkInsideTheFirstBlockShowsZerosAfterRegrowth) {
    const auto data = Pattern(1000);
    stream_.Write(data.data(), 1000);
    stream_.SetSize(400);
    stream_.SetSize(1000);
    std::vector<uint8_t> expected(data.begin() + 390, data.begin() + 400);
    expected.resize(20, 0);
    EXPECT_EQ(ReadAt(390, 20), expected);
    // A gap left by a write further on reads as zero too, not as whatever
    // the fresh memory held.
    stream_.SetPosition(2000);
    stream_.Write(data.data(), 5);
    EXPECT_EQ(ReadAt(1990, 10), std::vector<uint8_t>(10, 0));
}

// The I/O layer's direct access: memory offered at the position, of which
// only what is committed becomes part of the stream.
TEST_F(MemoryStreamTest, PreparedMemoryCountsOnlyWhenCommitted) {
    const auto data = Pattern(300);
    stream_.SetSize(300);
    std::span<uint8_t> area = stream_.PrepareWrite(300);
    ASSERT_EQ(area.size(), 300U);
    std::memcpy(area.data(), data.data(), 120);
    stream_.CommitWrite(120);
    EXPECT_EQ(stream_.Position(), 120);
    area = stream_.PrepareWrite(180);
    std::memcpy(area.data(), data.data() + 120, 180);
    stream_.CommitWrite(180);
    EXPECT_EQ(stream_.ToBytes(), data);

    // Offered past the end and not used: nothing is kept.
    area = stream_.PrepareWrite(Block);
    EXPECT_EQ(area.size(), static_cast<size_t>(Block - 300));
    stream_.CommitWrite(0);
    EXPECT_EQ(stream_.Size(), 300);
    stream_.SetPosition(2 * Block);
    ASSERT_FALSE(stream_.PrepareWrite(10).empty());
    stream_.CommitWrite(0);
    EXPECT_EQ(stream_.Size(), 300);
    EXPECT_EQ(stream_.CommittedBytes(), Block);
}

TEST_F(MemoryStreamTest, PeekShowsHeldBytesAndNothingUnwritten) {
    const auto data = Pattern(50);
    stream_.SetSize(Block + 100);
    stream_.SetPosition(Block);
    stream_.Write(data.data(), 50);
    stream_.SetPosition(0);
    EXPECT_TRUE(stream_.PeekRead(10).empty());  // never written: Read gives the zeros
    stream_.SetPosition(Block + 10);
    const std::span<const uint8_t> held = stream_.PeekRead(1000);
    EXPECT_EQ(std::vector<uint8_t>(held.begin(), held.end()), std::vector<uint8_t>(data.begin() + 10, data.end()));
    EXPECT_EQ(stream_.Position(), Block + 10);  // peeking does not move
}

// A large block source that counts what it hands out; it can also refuse.
struct CountingSource {
    static inline int live = 0;
    static inline int handedOut = 0;
    static inline bool refuse = false;
    static void* Allocate(size_t size) {
        if (refuse) {
            return nullptr;
        }
        ++live;
        ++handedOut;
        return new uint8_t[size];
    }
    static void Release(void* block, size_t) {
        --live;
        delete[] static_cast<uint8_t*>(block);
    }
};

class LargeStreamTest : public ::testing::Test {
protected:
    LargeStreamTest() {
        CountingSource::live = 0;
        CountingSource::handedOut = 0;
        CountingSource::refuse = false;
        SetLargeBlockSource({&CountingSource::Allocate, &CountingSource::Release});
    }
    ~LargeStreamTest() override { SetLargeBlockSource({}); }
};

TEST_F(LargeStreamTest, BigBodyOfKnownLengthUsesLargeBlocksFromTheSource) {
    const int64_t size = TMemoryStream::LargeStreamSize + 12345;
    const auto data = Pattern(static_cast<size_t>(size), 5);
    {
        TMemoryStream stream;
        stream.SetSize(size);
        EXPECT_EQ(stream.BlockBytes(), TMemoryStream::LargeBlockSize);
        stream.Write(data.data(), size);
        EXPECT_EQ(stream.ToBytes(), data);
        const int64_t blocks = (size + TMemoryStream::LargeBlockSize - 1) / TMemoryStream::LargeBlockSize;
        EXPECT_EQ(CountingSource::live, blocks);
        stream.SetSize(TMemoryStream::LargeBlockSize);
        EXPECT_EQ(CountingSource::live, 1);
    }
    EXPECT_EQ(CountingSource::live, 0);
}

TEST_F(LargeStreamTest, SmallAndGrowingStreamsKeepOrdinaryBlocks) {
    TMemoryStream grown;
    const auto data = Pattern(static_cast<size_t>(TMemoryStream::LargeStreamSize), 2);
    grown.Write(data.data(), static_cast<int64_t>(data.size()));
    EXPECT_EQ(grown.BlockBytes(), TMemoryStream::BlockSize);
    TMemoryStream small;
    small.SetSize(TMemoryStream::LargeStreamSize - 1);
    EXPECT_EQ(small.BlockBytes(), TMemoryStream::BlockSize);
    EXPECT_EQ(CountingSource::handedOut, 0);
}

TEST_F(LargeStreamTest, RefusingSourceLeavesTheBlocksToTheHeap) {
    CountingSource::refuse = true;
    const int64_t size = TMemoryStream::LargeStreamSize;
    const auto data = Pattern(static_cast<size_t>(size), 7);
    TMemoryStream stream;
    stream.SetSize(size);
    stream.Write(data.data(), size);
    EXPECT_EQ(stream.ToBytes(), data);
    EXPECT_EQ(CountingSource::handedOut, 0);
}

// Sequential writes and reads in chunks that do not divide the block size.
class MemoryStreamChunkTest : public ::testing::TestWithParam<int64_t> {};

TEST_P(MemoryStreamChunkTest, ChunkedRoundTrip) {
    const int64_t chunk = GetParam();
    const auto data = Pattern(static_cast<size_t>(3 * Block + 17), 3);
    const auto total = static_cast<int64_t>(data.size());
    TMemoryStream stream;
    for (int64_t done = 0; done < total; done += chunk) {
        const int64_t n = std::min(chunk, total - done);
        ASSERT_EQ(stream.Write(data.data() + done, n), n);
    }
    ASSERT_EQ(stream.Size(), total);
    EXPECT_EQ(stream.CommittedBytes(), 4 * Block);

    stream.SetPosition(0);
    std::vector<uint8_t> back(data.size());
    int64_t done = 0;
    while (done < total) {
        const int64_t n = stream.Read(back.data() + done, std::min(chunk + 3, total - done));
        ASSERT_GT(n, 0);
        done += n;
    }
    EXPECT_EQ(back, data);
}

INSTANTIATE_TEST_SUITE_P(Chunks, MemoryStreamChunkTest,
                         ::testing::Values(int64_t{997}, int64_t{4096}, Block - 1, Block, Block + 1,
                                           4 * Block));

}  // namespace

// StreamingTest: bodies without an end, and beyond 4 GiB, through the real
// program: relayed as they arrive, every byte checked by the client, while
// the proxy's memory stays bounded whatever passes.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "tests/e2e/soak/SoakContent.h"
#include "tests/support/Answers.h"
#include "tests/support/SameBytes.h"

namespace {

using namespace vtltest;

// The proxy holds at most the hold limit (1 MiB) and a pump's buffer per
// transfer, plus what it needs at rest (a few MB).
constexpr long MemoryBoundKb = 64 * 1024;

class StreamingProgram : public ::testing::Test {
protected:
    void StartProxy() {
        TProxySettings options;
        options.idleTimeout = 15;
        std::string error;
        ASSERT_TRUE(proxy_.StartServing(options, error)) << error;
    }

    // Sends a GET for path to the proxy; false when that failed.
    bool Ask(TLoopbackSocket& client, int originPort, const std::string& path) {
        return client.Connect(proxy_.Port()) &&
               client.SendAll("GET http://127.0.0.1:" + std::to_string(originPort) + path + " HTTP/1.0\r\n\r\n",
                              After(Ms(5000)));
    }

    TProgram proxy_;
};

// A live feed (radio, a log, server-sent events) has no length and no end.
TEST_F(StreamingProgram, EndlessOriginReachesTheClientAsItComesInBoundedMemory) {
    constexpr size_t Chunk = 1 << 20;
    constexpr uint64_t Checked = 400ull << 20;
    std::atomic<Clock::rep> firstSent{0};
    TOriginServer origin([&](TLoopbackSocket& socket) {
        std::string head;
        TEnd end = TEnd::Closed;
        if (!socket.ReadUntil(head, "\r\n\r\n", After(Ms(5000)), end)) {
            return;
        }
        socket.SendAll("HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\nfirst", After(Ms(5000)));
        firstSent = Clock::now().time_since_epoch().count();
        // A pause, as a feed has between its pieces: longer than any body
        // is held before it is relayed.
        std::this_thread::sleep_for(Ms(1500));
        TPatternStream pattern(21);
        std::string chunk;
        for (uint64_t sent = 0; sent < 2 * Checked; sent += Chunk) {
            chunk.clear();
            pattern.Append(chunk, Chunk);
            if (!socket.SendAll(chunk, After(Ms(10000)))) {
                return;
            }
        }
    });
    ASSERT_NO_FATAL_FAILURE(StartProxy());
    TLoopbackSocket client;
    ASSERT_TRUE(Ask(client, origin.Port(), "/live"));

    std::string got;
    TEnd end = TEnd::Closed;
    ASSERT_TRUE(client.ReadUntil(got, "\r\n\r\nfirst", After(Ms(5000)), end)) << EndName(end);
    const Clock::time_point sentAt{Clock::duration(firstSent.load())};
    EXPECT_LT(Clock::now() - sentAt, Ms(1000)) << "the first bytes waited in the proxy";
    got.erase(0, got.find("\r\n\r\nfirst") + 9);

    TPatternStream expected(21);
    std::string want;
    uint64_t checked = 0;
    while (checked < Checked) {
        if (got.empty() && client.ReceiveSome(got, After(Ms(10000)), end) == 0) {
            FAIL() << "the feed stopped after " << checked << " bytes: " << EndName(end);
        }
        want.clear();
        expected.Append(want, got.size());
        ASSERT_TRUE(SameBytes(got, want)) << "a byte differs in the " << got.size() << " after offset " << checked;
        checked += got.size();
        got.clear();
    }
    client.Close();
    EXPECT_LT(proxy_.PeakRssKb(), MemoryBoundKb) << "kB at the peak";
}

// Bytes whose every 8-byte word tells its own place in the body: cheap
// enough to make and check 4 GiB of, yet a byte lost, repeated or moved
// shows at once.
void FillBlock(std::string& block, uint64_t offset, size_t size) {
    block.resize(size);
    for (size_t at = 0; at < size; at += 8) {
        const uint64_t word = ((offset + at) / 8) * 0x9E3779B97F4A7C15ull ^ 0x5DEECE66Dull;
        std::memcpy(block.data() + at, &word, std::min<size_t>(8, size - at));
    }
}

// Past 4 GiB nothing in the path may count in 32 bits; held whole such a
// body would also take its size in memory.
constexpr uint64_t HugeSize = (4ull << 30) + (1 << 20) + 7;
constexpr uint64_t Block = 1 << 20;

TEST_F(StreamingProgram, BodyPastFourGiBArrivesWholeInBoundedMemory) {
    const uint64_t Size = HugeSize;
    TOriginServer origin([Size](TLoopbackSocket& socket) {
        std::string head;
        TEnd end = TEnd::Closed;
        if (!socket.ReadUntil(head, "\r\n\r\n", After(Ms(5000)), end) ||
            !socket.SendAll("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(Size) + "\r\n\r\n",
                            After(Ms(5000)))) {
            return;
        }
        std::string block;
        for (uint64_t offset = 0; offset < Size; offset += Block) {
            FillBlock(block, offset, static_cast<size_t>(std::min(Block, Size - offset)));
            if (!socket.SendAll(block, After(Ms(20000)))) {
                return;
            }
        }
    });
    ASSERT_NO_FATAL_FAILURE(StartProxy());
    TLoopbackSocket client;
    ASSERT_TRUE(Ask(client, origin.Port(), "/huge"));

    std::string got;
    TEnd end = TEnd::Closed;
    ASSERT_TRUE(client.ReadUntil(got, "\r\n\r\n", After(Ms(5000)), end)) << EndName(end);
    const std::string head = AsRelayed("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(Size) + "\r\n\r\n");
    ASSERT_EQ(got.substr(0, head.size()), head);
    got.erase(0, head.size());
    std::string want;
    uint64_t checked = 0;
    for (;;) {
        // Checked a block at a time, as blocks were made.
        while (got.size() >= Block || (checked + got.size() == Size && !got.empty())) {
            const size_t size = static_cast<size_t>(std::min(Block, Size - checked));
            FillBlock(want, checked, size);
            ASSERT_TRUE(SameBytes(std::string_view(got).substr(0, size), want)) << "a byte differs in the block at " << checked;
            got.erase(0, size);
            checked += size;
        }
        if (client.ReceiveSome(got, After(Ms(20000)), end, 1 << 20) == 0) {
            break;
        }
        ASSERT_LE(checked + got.size(), Size) << "more than the declared length";
    }
    EXPECT_EQ(checked, Size);
    EXPECT_EQ(end, TEnd::Closed) << EndName(end);
    EXPECT_LT(proxy_.PeakRssKb(), MemoryBoundKb) << "kB at the peak";
}

}  // namespace

#endif  // _WIN32

// PlatformTest: the stop request reaches its callback on a normal thread
// (not inside the signal handler), once, the executable's directory is a
// real directory, big bodies live in the platform's mapped memory, and the
// open-file limit only ever goes up; the process figures follow what the
// process does.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <span>
#include <thread>
#include <vector>
#ifdef __linux__
#include <sys/resource.h>
#endif

#include "app/Platform.h"
#include "io/IdStream.h"
#include "tests/support/LoopbackSocket.h"
#include "tests/support/SameBytes.h"

namespace {

using vtltest::SameBytes;

using namespace std::chrono_literals;

class PlatformTest : public ::testing::Test {
protected:
    bool WaitForStops(int count, std::chrono::milliseconds timeout) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, timeout, [&] { return stops_ >= count; });
    }

    std::mutex lock_;
    std::condition_variable changed_;
    int stops_ = 0;                   // guarded by lock_
    std::thread::id callbackThread_;  // guarded by lock_
};

TEST_F(PlatformTest, StopRequestRunsCallbackOnAnotherThread) {
    {
        const auto handler = InstallStopHandler([this] {
            std::scoped_lock guard(lock_);
            ++stops_;
            callbackThread_ = std::this_thread::get_id();
            changed_.notify_all();
        });
        RaiseStopSignal();
        ASSERT_TRUE(WaitForStops(1, 10s));
    }
    std::scoped_lock guard(lock_);
    EXPECT_EQ(stops_, 1);
    // Inside a signal handler the callback would run on the raising thread.
    EXPECT_NE(callbackThread_, std::this_thread::get_id());
}

TEST_F(PlatformTest, HandlerCanBeInstalledAgainAfterRemoval) {
    for (int round = 1; round <= 2; ++round) {
        const auto handler = InstallStopHandler([this] {
            std::scoped_lock guard(lock_);
            ++stops_;
            changed_.notify_all();
        });
        RaiseStopSignal();
        ASSERT_TRUE(WaitForStops(round, 10s)) << "round " << round;
    }
}

TEST(ExecutableDirectoryTest, IsAnExistingDirectoryWithoutTrailingSeparator) {
    const std::string directory = ExecutableDirectory();
    ASSERT_FALSE(directory.empty());
    EXPECT_NE(directory.back(), PathDelimiter());
    EXPECT_TRUE(std::filesystem::path(directory).is_absolute()) << directory;
    EXPECT_TRUE(std::filesystem::is_directory(directory)) << directory;
}

}  // namespace

namespace {

// A big body of known length in the memory the platform maps for it: every
// byte reads back, and shrinking and freeing the stream give it back.
TEST(LargeBodyMemoryTest, BigBodyRoundTripsThroughMappedBlocks) {
    UseMappedMemoryForLargeBodies();
    const int64_t size = TMemoryStream::LargeStreamSize + 3 * TMemoryStream::LargeBlockSize / 2;
    std::vector<uint8_t> data(static_cast<size_t>(size));
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>((i * 7 + i / 4093) & 0xFF);
    }
    {
        TMemoryStream stream;
        stream.SetSize(size);
        ASSERT_EQ(stream.BlockBytes(), TMemoryStream::LargeBlockSize);
        for (int64_t done = 0; done < size;) {
            const std::span<uint8_t> area = stream.PrepareWrite(std::min<int64_t>(32768, size - done));
            std::memcpy(area.data(), data.data() + done, area.size());
            stream.CommitWrite(static_cast<int64_t>(area.size()));
            done += static_cast<int64_t>(area.size());
        }
        EXPECT_TRUE(SameBytes(stream.ToBytes(), data));
        stream.SetSize(TMemoryStream::LargeBlockSize + 10);
        stream.SetSize(size);
        stream.SetPosition(TMemoryStream::LargeBlockSize + 8);
        uint8_t tail[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        ASSERT_EQ(stream.Read(tail, 4), 4);
        EXPECT_EQ(tail[0], data[static_cast<size_t>(TMemoryStream::LargeBlockSize + 8)]);
        EXPECT_EQ(tail[2], 0);
    }
    SetLargeBlockSource({});
}

TEST(OpenFileLimitTest, RaisingNeverLowersTheLimit) {
#ifdef __linux__
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
    RaiseOpenFileLimit();
    rlimit after{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &after), 0);
    EXPECT_GE(after.rlim_cur, before.rlim_cur);
    EXPECT_EQ(after.rlim_max, before.rlim_max);
    if (before.rlim_max != RLIM_INFINITY) {
        EXPECT_EQ(after.rlim_cur, std::max<rlim_t>(before.rlim_cur, std::min<rlim_t>(before.rlim_max, 1048576)));
    }
#else
    RaiseOpenFileLimit();  // nothing to raise; must simply not fail
#endif
}

}  // namespace

namespace {

// The figures describe this process: it started moments ago, sockets it
// opens are counted, and memory it touches becomes resident.
TEST(ProcessFiguresTest, FollowWhatTheProcessDoes) {
    const TProcessFigures before = ReadProcessFigures();
    const auto nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    EXPECT_LE(before.startTimeMs, nowMs + 1000);
    EXPECT_GT(before.startTimeMs, nowMs - 10 * 60 * 1000);
    EXPECT_GT(before.residentBytes, 0);

    std::vector<vtltest::TLoopbackSocket> sockets;
    for (int i = 0; i < 8; ++i) {
        sockets.push_back(vtltest::TLoopbackSocket::Create());
        ASSERT_TRUE(sockets.back().Valid());
    }
    // Fresh pages of a large block are not resident until written.
    std::vector<char> touched(64u << 20);
    for (size_t at = 0; at < touched.size(); at += 4096) {
        *static_cast<volatile char*>(&touched[at]) = 1;
    }
    const TProcessFigures after = ReadProcessFigures();
#ifdef __linux__
    ASSERT_GE(before.openDescriptors, 0);
#endif
    // Where the system tells the count at all (wine does not).
    if (before.openDescriptors >= 0) {
        EXPECT_GE(after.openDescriptors, before.openDescriptors + 8);
    }
    EXPECT_GE(after.residentBytes, before.residentBytes + (32 << 20));
    EXPECT_EQ(after.startTimeMs, before.startTimeMs);
}

}  // namespace

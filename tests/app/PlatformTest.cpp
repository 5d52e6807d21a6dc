// PlatformTest: the stop request reaches its callback on a normal thread
// (not inside the signal handler), once, and the executable's directory is
// a real directory.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "app/Platform.h"

namespace {

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

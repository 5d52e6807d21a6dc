// WaitUntil: the one way tests wait for something another thread or process
// does. It polls, so the thing waited for needs no hook of its own, and it
// gives up after a limit, so a test that would hang fails instead.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace vtltest {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// Generous: the sanitizer builds and wine are slow on a loaded two-core
// machine, and a passing test never waits this long.
inline constexpr Ms WaitLimit{10000};

inline Clock::time_point After(Ms span) { return Clock::now() + span; }

inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Polls condition every step until it holds (true) or limit has passed
// (false).
inline bool WaitUntil(const std::function<bool()>& condition, Ms limit = WaitLimit, Ms step = Ms{2}) {
    const auto deadline = After(limit);
    while (!condition()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(step);
    }
    return true;
}

}  // namespace vtltest

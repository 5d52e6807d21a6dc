// Test support for the server tests: a plain socket client on loopback that
// reads lines with deadlines (so a silent or stuck server fails a test
// instead of hanging it), and counters of the process's threads and open
// descriptors for the leak checks (Linux only).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "base/IdException.h"
#include "net/IdPlatform.h"
#include "net/IdStack.h"
#include "tests/server/WorkingThreads.h"
#include "tests/support/LoopbackSocket.h"
#include "tests/support/Wait.h"

namespace ServerTestSupport {

using vtltest::Clock;
using vtltest::Ms;

// Generous: the sanitizer builds and wine are slow on a loaded machine, and
// a passing test never waits this long.
constexpr int32_t kDeadlineMs = 10000;

inline std::optional<int32_t> ThreadCount() { return CountWorkingThreads("/proc/self/task"); }
inline std::optional<int32_t> OpenFdCount() { return CountProcFolder("/proc/self/fd"); }

// Polls until the counter is back at (or below) its baseline; true where
// the counter is not available.
inline bool BackToBaseline(const std::function<std::optional<int32_t>()>& counter,
                           std::optional<int32_t> baseline, int32_t deadlineMs = kDeadlineMs) {
    if (!baseline) {
        return true;
    }
    return vtltest::WaitUntil(
        [&] {
            const std::optional<int32_t> now = counter();
            return now && *now <= *baseline;
        },
        Ms(deadlineMs));
}

// One client connection, driven directly through the socket stack (not the
// I/O handler under test), that reads lines.
class TLoopbackClient {
public:
    explicit TLoopbackClient(int32_t port, TIdIPVersion version = Id_IPv4) {
        if (!socket_.Connect(port, version == Id_IPv6)) {
            throw EIdSocketError(IdErr::ConnectionRefused, "loopback client: no connection to port " +
                                                               std::to_string(port));
        }
    }

    void Send(const std::string& text) {
        if (!socket_.SendAll(text, vtltest::After(Ms(kDeadlineMs)))) {
            throw EIdSocketError(0, "loopback client: the send did not go through");
        }
    }
    void SendLine(const std::string& line) { Send(line + "\r\n"); }

    // The next line without its CR LF; none when the deadline passes or the
    // server closes first (Closed() tells which).
    std::optional<std::string> ReadLine(int32_t deadlineMs = kDeadlineMs) {
        const auto end = vtltest::After(Ms(deadlineMs));
        std::string line;
        while (!vtltest::TakeLine(pending_, line)) {
            if (closed_ || !Fill(end)) {
                return std::nullopt;
            }
        }
        return line;
    }

    // Reads until the server closes the connection; true when it did before
    // the deadline. What arrived meanwhile stays in Pending().
    bool WaitClosed(int32_t deadlineMs = kDeadlineMs) {
        const auto end = vtltest::After(Ms(deadlineMs));
        while (!closed_) {
            if (!Fill(end)) {
                return closed_;
            }
        }
        return true;
    }

    bool Closed() const { return closed_; }
    // The close was a reset rather than an end of stream.
    bool WasReset() const { return reset_; }
    // The socket's pending error: not 0 once a reset came, also one that
    // came after the end of stream (which receives do not report).
    int32_t PendingError() const { return TIdStack::Instance().PendingError(socket_.Handle()); }
    const std::string& Pending() const { return pending_; }

    void Close() { socket_.Close(); }

private:
    // One receive; false on timeout. End of stream and a reset both count
    // as closed.
    bool Fill(Clock::time_point end) {
        vtltest::TEnd how = vtltest::TEnd::TimedOut;
        if (socket_.ReceiveSome(pending_, end, how, 4096) > 0) {
            return true;
        }
        if (how == vtltest::TEnd::TimedOut) {
            return false;
        }
        closed_ = true;
        reset_ = how != vtltest::TEnd::Closed;
        return true;
    }

    vtltest::TLoopbackSocket socket_;
    std::string pending_;
    bool closed_ = false;
    bool reset_ = false;
};

}  // namespace ServerTestSupport

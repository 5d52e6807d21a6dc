// Test support for the server tests: a plain socket client on loopback that
// reads lines with deadlines (so a silent or stuck server fails a test
// instead of hanging it), polling helpers, and counters of the process's
// threads and open descriptors for the leak checks (Linux only).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "base/IdException.h"
#include "net/IdPlatform.h"
#include "net/IdStack.h"
#include "tests/server/WorkingThreads.h"

namespace ServerTestSupport {

using Clock = std::chrono::steady_clock;

// Generous: the sanitizer builds and wine are slow on a loaded machine, and
// a passing test never waits this long.
constexpr int32_t kDeadlineMs = 10000;

inline bool WaitUntil(const std::function<bool()>& done, int32_t deadlineMs = kDeadlineMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(deadlineMs);
    while (!done()) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline std::optional<int32_t> ThreadCount() { return CountWorkingThreads("/proc/self/task"); }
inline std::optional<int32_t> OpenFdCount() { return CountProcFolder("/proc/self/fd"); }

// Polls until the counter is back at (or below) its baseline; true where
// the counter is not available.
inline bool BackToBaseline(const std::function<std::optional<int32_t>()>& counter,
                           std::optional<int32_t> baseline, int32_t deadlineMs = kDeadlineMs) {
    if (!baseline) {
        return true;
    }
    return WaitUntil(
        [&] {
            const std::optional<int32_t> now = counter();
            return now && *now <= *baseline;
        },
        deadlineMs);
}

// One client connection, driven directly through the socket stack (not the
// I/O handler under test). The caller keeps a stack user alive.
class TLoopbackClient {
public:
    explicit TLoopbackClient(int32_t port, TIdIPVersion version = Id_IPv4) {
        TIdStack& stack = TIdStack::Instance();
        socket_ = stack.CreateSocket(Id_SOCK_STREAM, 0, version);
        try {
            stack.Connect(socket_, version == Id_IPv4 ? "127.0.0.1" : "::1", port, version);
        } catch (...) {
            Close();
            throw;
        }
    }
    ~TLoopbackClient() { Close(); }
    TLoopbackClient(const TLoopbackClient&) = delete;
    TLoopbackClient& operator=(const TLoopbackClient&) = delete;

    void Send(const std::string& text) {
        const auto* data = reinterpret_cast<const uint8_t*>(text.data());
        int32_t sent = 0;
        const auto size = static_cast<int32_t>(text.size());
        while (sent < size) {
            sent += TIdStack::Instance().Send(socket_, data + sent, size - sent);
        }
    }
    void SendLine(const std::string& line) { Send(line + "\r\n"); }

    // The next line without its CR LF; none when the deadline passes or the
    // server closes first (Closed() tells which).
    std::optional<std::string> ReadLine(int32_t deadlineMs = kDeadlineMs) {
        const auto end = Clock::now() + std::chrono::milliseconds(deadlineMs);
        for (;;) {
            const size_t lf = pending_.find('\n');
            if (lf != std::string::npos) {
                std::string line = pending_.substr(0, lf);
                pending_.erase(0, lf + 1);
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                return line;
            }
            if (closed_ || !Fill(end)) {
                return std::nullopt;
            }
        }
    }

    // Reads until the server closes the connection; true when it did before
    // the deadline. What arrived meanwhile stays in Pending().
    bool WaitClosed(int32_t deadlineMs = kDeadlineMs) {
        const auto end = Clock::now() + std::chrono::milliseconds(deadlineMs);
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
    int32_t PendingError() const { return TIdStack::Instance().PendingError(socket_); }
    const std::string& Pending() const { return pending_; }

    void Close() {
        if (socket_ != InvalidSocket) {
            TIdStack::Instance().Disconnect(socket_);
            socket_ = InvalidSocket;
        }
    }

private:
    // One receive; false on timeout. End of stream and a reset both count
    // as closed.
    bool Fill(Clock::time_point end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) {
            return false;
        }
        if (!TIdStack::Instance().WaitReadable(&socket_, 1, static_cast<int32_t>(left))) {
            return false;
        }
        uint8_t buffer[4096];
        int32_t received = 0;
        try {
            received = TIdStack::Instance().Receive(socket_, buffer, sizeof buffer);
        } catch (const EIdSocketError&) {
            received = 0;
            reset_ = true;
        }
        if (received <= 0) {
            closed_ = true;
        } else {
            pending_.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(received));
        }
        return true;
    }

    TIdStackSocketHandle socket_ = InvalidSocket;
    std::string pending_;
    bool closed_ = false;
    bool reset_ = false;
};

}  // namespace ServerTestSupport

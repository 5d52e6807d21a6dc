// LoopbackServer: a scripted TCP server for client tests on 127.0.0.1 with a
// port the platform picks. It accepts on its own thread, runs the test's
// handler per connection, joins in its destructor, and bounds every wait so
// that a failing client test ends instead of hanging.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/IdException.h"
#include "net/IdSocketHandle.h"
#include "net/IdStack.h"

// Keeps the process-wide socket stack alive for as long as it exists.
class StackUser {
public:
    StackUser() { TIdStack::IncUsage(); }
    ~StackUser() { TIdStack::DecUsage(); }
    StackUser(const StackUser&) = delete;
    StackUser& operator=(const StackUser&) = delete;
};

// The server's side of one accepted connection, with its own small read
// buffer. Waits give up after `WaitLimit` or when the server is stopping.
class LoopbackPeer {
public:
    static constexpr std::chrono::seconds WaitLimit{10};

    LoopbackPeer(TIdSocketHandle& socket, const std::atomic<bool>& stopping)
        : socket_(socket), stopping_(stopping) {}

    TIdSocketHandle& Socket() { return socket_; }

    void Send(const std::string& bytes) {
        size_t offset = 0;
        while (offset < bytes.size()) {
            const int32_t sent = socket_.Send(reinterpret_cast<const uint8_t*>(bytes.data()) + offset,
                                              static_cast<int32_t>(bytes.size() - offset));
            offset += static_cast<size_t>(sent);
        }
    }

    // A line without its CR LF (or LF).
    std::string ReadLine() {
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
            if (!ReceiveMore()) {
                throw EIdException("loopback peer: closed before a line ended");
            }
        }
    }

    std::string ReadExactly(size_t count) {
        while (pending_.size() < count) {
            if (!ReceiveMore()) {
                throw EIdException("loopback peer: closed after " + std::to_string(pending_.size()) + " of " +
                                   std::to_string(count) + " bytes");
            }
        }
        std::string bytes = pending_.substr(0, count);
        pending_.erase(0, count);
        return bytes;
    }

    // Everything until the client closes.
    std::string ReadUntilClose() {
        while (ReceiveMore()) {
        }
        std::string bytes = std::move(pending_);
        pending_.clear();
        return bytes;
    }

    void Close() { socket_.ReleaseSocket(); }

private:
    // False when the client closed; raises when the wait runs out.
    void WaitReadable() {
        const auto deadline = std::chrono::steady_clock::now() + WaitLimit;
        while (!socket_.WaitReadable(100)) {
            if (stopping_.load() || std::chrono::steady_clock::now() > deadline) {
                throw EIdException("loopback peer: gave up waiting for the client");
            }
        }
    }

    bool ReceiveMore() {
        WaitReadable();
        const int32_t count = socket_.Receive(chunk_.data(), static_cast<int32_t>(chunk_.size()));
        if (count <= 0) {
            return false;
        }
        pending_.append(reinterpret_cast<const char*>(chunk_.data()), static_cast<size_t>(count));
        return true;
    }

    TIdSocketHandle& socket_;
    const std::atomic<bool>& stopping_;
    std::string pending_;
    std::vector<uint8_t> chunk_ = std::vector<uint8_t>(65536);
};

class LoopbackServer {
public:
    using Handler = std::function<void(LoopbackPeer& peer)>;

    // Serves `connections` clients one after the other with the same handler.
    explicit LoopbackServer(Handler handler, int connections = 1) : handler_(std::move(handler)) {
        listener_.SetIP("127.0.0.1");
        listener_.SetPort(0);
        listener_.OpenSocket();
        listener_.Bind();
        listener_.Listen(8);
        port_ = listener_.Port();
        thread_ = std::thread([this, connections] { Run(connections); });
    }

    ~LoopbackServer() {
        stopping_.store(true);
        Join();
    }

    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int32_t Port() const { return port_; }

    // Waits until the handler has served every connection (or gave up).
    void Join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    // What went wrong on the server's side, empty when nothing did.
    std::string Error() {
        std::scoped_lock lock(errorLock_);
        return error_;
    }

private:
    void Run(int connections) {
        const auto deadline = std::chrono::steady_clock::now() + LoopbackPeer::WaitLimit;
        try {
            for (int served = 0; served < connections;) {
                if (stopping_.load() || std::chrono::steady_clock::now() > deadline) {
                    Fail("no client connected");
                    return;
                }
                if (!listener_.WaitReadable(100)) {
                    continue;
                }
                TIdSocketHandle accepted;
                if (!accepted.AcceptFrom(listener_.Socket())) {
                    continue;
                }
                ++served;
                LoopbackPeer peer(accepted, stopping_);
                handler_(peer);
            }
        } catch (const std::exception& e) {
            Fail(e.what());
        }
    }

    void Fail(const std::string& what) {
        std::scoped_lock lock(errorLock_);
        if (error_.empty()) {
            error_ = what;
        }
    }

    StackUser stackUser_;
    TIdSocketHandle listener_;
    Handler handler_;
    int32_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::mutex errorLock_;  // guards error_
    std::string error_;
    std::thread thread_;
};

// TLoopbackSocket: one TCP socket of a test, on the platform's socket stack,
// for the clients and origin servers that tests run on loopback. Every wait
// has a deadline and no call raises: a failure comes back as a result, so a
// script on a server thread cannot end the test process.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/IdStack.h"
#include "tests/support/StackUse.h"
#include "tests/support/Wait.h"

namespace vtltest {

// How a read ended: the peer's orderly close, a reset, the deadline, or
// another failure.
enum class TEnd { Closed, Reset, TimedOut, Failed };

const char* EndName(TEnd end);

class TLoopbackSocket {
public:
    TLoopbackSocket() = default;
    explicit TLoopbackSocket(TIdStackSocketHandle handle) : handle_(handle) {}
    TLoopbackSocket(TLoopbackSocket&& other) noexcept;
    TLoopbackSocket& operator=(TLoopbackSocket&& other) noexcept;
    TLoopbackSocket(const TLoopbackSocket&) = delete;
    TLoopbackSocket& operator=(const TLoopbackSocket&) = delete;
    virtual ~TLoopbackSocket() { Close(); }

    // A stream socket, neither bound nor connected.
    static TLoopbackSocket Create(TIdIPVersion version = Id_IPv4);
    // A socket listening on address (numeric IPv4 or IPv6) and port (0: one
    // the system picks); invalid when that cannot be had.
    static TLoopbackSocket Listen(const std::string& address, int32_t port, int32_t backlog);
    // The next waiting connection of a listening socket; invalid when none.
    TLoopbackSocket Accept() const;

    bool Valid() const { return handle_ != InvalidSocket; }
    TIdStackSocketHandle Handle() const { return handle_; }
    int32_t LocalPort() const;

    // A blocking connect to port on 127.0.0.1 (::1 with ipv6); false when
    // refused. receiveBuffer > 0 makes the receive window small from the
    // start; from (an IPv4 loopback address) is the address to connect from.
    bool Connect(int32_t port, bool ipv6 = false, int32_t receiveBuffer = 0, const std::string& from = {});
    // The same to any numeric loopback address.
    bool ConnectTo(const std::string& address, int32_t port, int32_t receiveBuffer = 0, const std::string& from = {});

    bool SendAll(std::string_view data, Clock::time_point deadline);
    // One receive of what is there within the deadline, at most limit
    // bytes, appended to out. The count; 0 with end set when the stream
    // ended or the deadline passed.
    size_t ReceiveSome(std::string& out, Clock::time_point deadline, TEnd& end, size_t limit = 65536);
    // Reads until the peer closes (or resets, or the deadline passes); more
    // than cap bytes end it as Failed.
    TEnd ReadToEnd(std::string& out, Clock::time_point deadline, size_t cap = 64u << 20);
    // Reads until out holds at least count bytes; false with end set otherwise.
    bool ReadAtLeast(std::string& out, size_t count, Clock::time_point deadline, TEnd& end);
    // Reads until out contains marker; false with end set otherwise.
    bool ReadUntil(std::string& out, std::string_view marker, Clock::time_point deadline, TEnd& end);
    // Waits, without reading, until there is something to read (or the
    // stream ended).
    bool WaitReadable(Clock::time_point deadline) const;

    void ShutdownWrite();
    // Both directions: wakes whoever waits on the socket.
    void Shutdown();
    // Closes with a reset instead of the orderly end.
    void Abort();
    void Close();

    // Waits end early once *flag holds (a server that is stopping).
    void StopWaitingWhen(const std::atomic<bool>* flag) { stop_ = flag; }
    bool Stopping() const { return stop_ != nullptr && stop_->load(); }

protected:
    // Every byte received, as it arrives.
    virtual void OnReceived(std::string_view) {}

private:
    TStackUse use_;
    TIdStackSocketHandle handle_ = InvalidSocket;
    const std::atomic<bool>* stop_ = nullptr;
};

// A port that nobody listens on right now on address (bound, then released).
int32_t FreePort(const std::string& address = "0.0.0.0");

// Whether a connect to address and port succeeds now.
bool CanConnect(int32_t port, const std::string& address = "127.0.0.1");

// A port on 127.0.0.1 whose listener never accepts and whose queue is full:
// the system drops further connection attempts, so a connect there waits
// for as long as the connecting side lets it.
class TBlackHole {
public:
    TBlackHole();
    int32_t Port() const { return port_; }

private:
    TLoopbackSocket listener_;
    int32_t port_ = 0;
    std::vector<TLoopbackSocket> fillers_;
};

// A line of pending without its CR LF (or LF), taken out of pending; false
// while pending holds no whole line.
bool TakeLine(std::string& pending, std::string& line);

}  // namespace vtltest

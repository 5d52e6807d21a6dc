// TLoopbackSocket: the socket stack's calls with deadlines, in slices short
// enough that a stopping server is noticed.
#include "tests/support/LoopbackSocket.h"

#include <algorithm>
#include <utility>

#include "base/IdException.h"

namespace vtltest {

namespace {

// The longest single wait: a server's stop flag is checked this often.
constexpr Ms Slice{50};

int32_t MsUntil(Clock::time_point deadline, bool sliced) {
    auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now());
    if (sliced) {
        left = std::min(left, Slice);
    }
    return static_cast<int32_t>(std::clamp<int64_t>(left.count(), 0, 0x7FFFFFFF));
}

TEnd EndOf(const EIdSocketError& error) {
    const int32_t code = error.LastError();
    return code == IdErr::ConnectionReset || code == IdErr::ConnectionAborted ? TEnd::Reset : TEnd::Failed;
}

TIdIPVersion VersionOf(const std::string& address) {
    return address.find(':') != std::string::npos ? Id_IPv6 : Id_IPv4;
}

}  // namespace

const char* EndName(TEnd end) {
    switch (end) {
    case TEnd::Closed:
        return "closed";
    case TEnd::Reset:
        return "reset";
    case TEnd::TimedOut:
        return "timed out";
    case TEnd::Failed:
        return "failed";
    }
    return "?";
}

TLoopbackSocket::TLoopbackSocket(TLoopbackSocket&& other) noexcept
    : handle_(std::exchange(other.handle_, InvalidSocket)), stop_(other.stop_) {}

TLoopbackSocket& TLoopbackSocket::operator=(TLoopbackSocket&& other) noexcept {
    if (this != &other) {
        Close();
        handle_ = std::exchange(other.handle_, InvalidSocket);
        stop_ = other.stop_;
    }
    return *this;
}

TLoopbackSocket TLoopbackSocket::Create(TIdIPVersion version) {
    TStackUse use;
    try {
        return TLoopbackSocket(TIdStack::Instance().CreateSocket(Id_SOCK_STREAM, 0, version));
    } catch (const EIdException&) {
        return TLoopbackSocket();
    }
}

TLoopbackSocket TLoopbackSocket::Listen(const std::string& address, int32_t port, int32_t backlog) {
    const TIdIPVersion version = VersionOf(address);
    TLoopbackSocket socket = Create(version);
    if (!socket.Valid()) {
        return socket;
    }
    try {
        TIdStack& stack = TIdStack::Instance();
        stack.Bind(socket.Handle(), address, port, version);
        stack.Listen(socket.Handle(), backlog);
    } catch (const EIdException&) {
        socket.Close();
    }
    return socket;
}

TLoopbackSocket TLoopbackSocket::Accept() const {
    std::string ip;
    int32_t port = 0;
    TIdIPVersion version = Id_IPv4;
    try {
        return TLoopbackSocket(TIdStack::Instance().Accept(handle_, ip, port, version));
    } catch (const EIdException&) {
        return TLoopbackSocket();
    }
}

int32_t TLoopbackSocket::LocalPort() const {
    std::string ip;
    int32_t port = 0;
    TIdIPVersion version = Id_IPv4;
    try {
        TIdStack::Instance().LocalEndpoint(handle_, ip, port, version);
    } catch (const EIdException&) {
        return 0;
    }
    return port;
}

bool TLoopbackSocket::Connect(int32_t port, bool ipv6, int32_t receiveBuffer, const std::string& from) {
    return ConnectTo(ipv6 ? "::1" : "127.0.0.1", port, receiveBuffer, from);
}

bool TLoopbackSocket::ConnectTo(const std::string& address, int32_t port, int32_t receiveBuffer,
                                const std::string& from) {
    const TIdIPVersion version = VersionOf(address);
    *this = Create(version);
    if (!Valid()) {
        return false;
    }
    TIdStack& stack = TIdStack::Instance();
    try {
        if (receiveBuffer > 0) {
            stack.SetIntOption(handle_, Id_SOL_SOCKET, Id_SO_RCVBUF, receiveBuffer);
        }
        if (!from.empty() && version == Id_IPv4) {
            stack.Bind(handle_, from, 0, Id_IPv4);
        }
        stack.Connect(handle_, address, port, version);
        stack.SetIntOption(handle_, Id_IPPROTO_TCP, Id_TCP_NODELAY, 1);
    } catch (const EIdException&) {
        Close();
        return false;
    }
    return true;
}

bool TLoopbackSocket::SendAll(std::string_view data, Clock::time_point deadline) {
    TIdStack& stack = TIdStack::Instance();
    size_t done = 0;
    try {
        while (done < data.size()) {
            if (Stopping() || Clock::now() >= deadline) {
                return false;
            }
            if (!stack.WaitWritable(handle_, MsUntil(deadline, true))) {
                continue;
            }
            const auto chunk = static_cast<int32_t>(std::min<size_t>(data.size() - done, 1 << 20));
            const int32_t sent =
                stack.SendNoWait(handle_, reinterpret_cast<const uint8_t*>(data.data()) + done, chunk);
            if (sent > 0) {
                done += static_cast<size_t>(sent);
            }
        }
    } catch (const EIdException&) {
        return false;
    }
    return true;
}

size_t TLoopbackSocket::ReceiveSome(std::string& out, Clock::time_point deadline, TEnd& end, size_t limit) {
    TIdStack& stack = TIdStack::Instance();
    uint8_t chunk[65536];
    try {
        for (;;) {
            if (!WaitReadable(deadline)) {
                end = TEnd::TimedOut;
                return 0;
            }
            const int32_t n = stack.ReceiveNoWait(handle_, chunk, static_cast<int32_t>(std::min(sizeof chunk, limit)));
            if (n > 0) {
                const std::string_view got(reinterpret_cast<const char*>(chunk), static_cast<size_t>(n));
                out.append(got);
                OnReceived(got);
                return got.size();
            }
            if (n == 0) {
                end = TEnd::Closed;
                return 0;
            }
        }
    } catch (const EIdSocketError& error) {
        end = EndOf(error);
    } catch (const EIdException&) {
        end = TEnd::Failed;
    }
    return 0;
}

TEnd TLoopbackSocket::ReadToEnd(std::string& out, Clock::time_point deadline, size_t cap) {
    TEnd end = TEnd::Closed;
    while (ReceiveSome(out, deadline, end) > 0) {
        if (out.size() > cap) {
            return TEnd::Failed;
        }
    }
    return end;
}

bool TLoopbackSocket::ReadAtLeast(std::string& out, size_t count, Clock::time_point deadline, TEnd& end) {
    while (out.size() < count) {
        if (ReceiveSome(out, deadline, end) == 0) {
            return false;
        }
    }
    return true;
}

bool TLoopbackSocket::ReadUntil(std::string& out, std::string_view marker, Clock::time_point deadline, TEnd& end) {
    size_t from = 0;
    while (out.find(marker, from) == std::string::npos) {
        from = out.size() >= marker.size() ? out.size() - marker.size() + 1 : 0;
        if (ReceiveSome(out, deadline, end) == 0) {
            return false;
        }
    }
    return true;
}

bool TLoopbackSocket::WaitReadable(Clock::time_point deadline) const {
    if (!Valid()) {
        return false;
    }
    try {
        do {
            if (TIdStack::Instance().WaitReadable(&handle_, 1, MsUntil(deadline, stop_ != nullptr))) {
                return true;
            }
        } while (!Stopping() && Clock::now() < deadline);
    } catch (const EIdException&) {
        // A socket that cannot be waited on reads as ended.
        return true;
    }
    return false;
}

void TLoopbackSocket::ShutdownWrite() {
    if (Valid()) {
        TIdStack::Instance().ShutdownSending(handle_);
    }
}

void TLoopbackSocket::Shutdown() {
    if (Valid()) {
        TIdStack::Instance().WakeAndShutdown(handle_);
    }
}

void TLoopbackSocket::Abort() {
    if (Valid()) {
        TIdStack::Instance().SetAbortiveClose(handle_);
        TIdStack::Instance().CloseAtOnce(std::exchange(handle_, InvalidSocket));
    }
}

void TLoopbackSocket::Close() {
    if (Valid()) {
        TIdStack::Instance().Disconnect(std::exchange(handle_, InvalidSocket));
    }
}

int32_t FreePort(const std::string& address) {
    TLoopbackSocket probe = TLoopbackSocket::Listen(address, 0, 1);
    return probe.LocalPort();
}

TBlackHole::TBlackHole() : listener_(TLoopbackSocket::Listen("127.0.0.1", 0, 0)), port_(listener_.LocalPort()) {
    TIdStack& stack = TIdStack::Instance();
    for (int i = 0; i < 4; ++i) {
        TLoopbackSocket filler = TLoopbackSocket::Create();
        stack.SetBlocking(filler.Handle(), false);
        try {
            stack.Connect(filler.Handle(), "127.0.0.1", port_, Id_IPv4);
        } catch (const EIdSocketError&) {
            // Still under way: it holds its place in the queue or waits.
        }
        fillers_.push_back(std::move(filler));
    }
}

bool CanConnect(int32_t port, const std::string& address) {
    TLoopbackSocket socket;
    return socket.ConnectTo(address, port);
}

bool TakeLine(std::string& pending, std::string& line) {
    const size_t lf = pending.find('\n');
    if (lf == std::string::npos) {
        return false;
    }
    line = pending.substr(0, lf);
    pending.erase(0, lf + 1);
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return true;
}

}  // namespace vtltest

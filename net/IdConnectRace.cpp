// IdConnectRace: staggered non-blocking connects over the stack's own
// calls, so the race is the same on every platform.
#include "net/IdConnectRace.h"

#include <algorithm>
#include <chrono>

#include "base/IdException.h"
#include "net/IdStack.h"

std::vector<TIdIPAddress> InterleaveFamilies(const std::vector<TIdIPAddress>& addresses) {
    if (addresses.empty()) {
        return {};
    }
    std::vector<TIdIPAddress> first;
    std::vector<TIdIPAddress> second;
    for (const TIdIPAddress& address : addresses) {
        (address.version == addresses.front().version ? first : second).push_back(address);
    }
    std::vector<TIdIPAddress> ordered;
    for (size_t i = 0; i < std::max(first.size(), second.size()); ++i) {
        if (i < first.size()) {
            ordered.push_back(first[i]);
        }
        if (i < second.size()) {
            ordered.push_back(second[i]);
        }
    }
    return ordered;
}

TIdConnectRace::TIdConnectRace(std::vector<TIdIPAddress> addresses, int32_t port, int32_t timeoutMs)
    : addresses_(std::move(addresses)), port_(port), timeoutMs_(timeoutMs) {
    pending_.reserve(std::min(addresses_.size(), MaxPending));
}

TIdConnectRace::~TIdConnectRace() {
    while (!pending_.empty()) {
        Close(pending_.size() - 1);
    }
}

void TIdConnectRace::Close(size_t position) {
    TIdStack::Instance().CloseAtOnce(pending_[position].socket);
    pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(position));
}

TIdStackSocketHandle TIdConnectRace::Win(size_t position) {
    const TIdStackSocketHandle socket = pending_[position].socket;
    pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(position));
    // The losers go at once: an origin must not hold half-open connections
    // that nobody will use.
    while (!pending_.empty()) {
        Close(pending_.size() - 1);
    }
    try {
        TIdStack::Instance().SetBlocking(socket, true);
    } catch (...) {
        TIdStack::Instance().CloseAtOnce(socket);
        throw;
    }
    return socket;
}

bool TIdConnectRace::Begin(size_t index, size_t& winner, TIdStackSocketHandle& connected) {
    TIdStack& stack = TIdStack::Instance();
    const TIdIPAddress& address = addresses_[index];
    TIdStackSocketHandle socket = InvalidSocket;
    try {
        socket = stack.CreateSocket(Id_SOCK_STREAM, 0, address.version);
        pending_.push_back({socket, index});
        stack.SetBlocking(socket, false);
        stack.Connect(socket, IPAddressText(address), port_, address.version);
    } catch (const EIdSocketError& error) {
        if (socket != InvalidSocket &&
            (error.LastError() == IdErr::WouldBlock || error.LastError() == IdErr::InProgress)) {
            return true;
        }
        // No route to this family, no such family here, refused at once:
        // the next address is tried without waiting.
        lastError_ = error.LastError();
        if (socket != InvalidSocket) {
            Close(pending_.size() - 1);
        }
        return false;
    }
    winner = index;
    connected = Win(pending_.size() - 1);
    return true;
}

TIdStackSocketHandle TIdConnectRace::Run(const std::function<bool()>& cancelled, size_t& winner) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point started = Clock::now();
    const Clock::time_point deadline = started + std::chrono::milliseconds(timeoutMs_);
    Clock::time_point nextAttempt = started;
    size_t next = 0;
    bool ready[MaxPending];
    TIdStackSocketHandle sockets[MaxPending];
    for (;;) {
        if (cancelled && cancelled()) {
            throw EIdConnClosedGracefully("Connection Closed Gracefully.");
        }
        const Clock::time_point now = Clock::now();
        if (timeoutMs_ > 0 && now >= deadline) {
            throw EIdConnectTimeout("Connect timed out.");
        }
        if (next < addresses_.size() && pending_.size() < MaxPending && (pending_.empty() || now >= nextAttempt)) {
            TIdStackSocketHandle connected = InvalidSocket;
            const bool underWay = Begin(next++, winner, connected);
            if (connected != InvalidSocket) {
                return connected;
            }
            nextAttempt = underWay ? now + std::chrono::milliseconds(AttemptDelayMs) : now;
            continue;
        }
        if (pending_.empty()) {
            TIdStack::ThrowSocketError(lastError_ != 0 ? lastError_ : IdErr::HostNotFound);
        }
        auto wait = std::chrono::milliseconds(CancelCheckMs);
        // With every slot taken, the next address waits for a free one, not
        // for its time.
        if (next < addresses_.size() && pending_.size() < MaxPending) {
            wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(nextAttempt - now));
        }
        if (timeoutMs_ > 0) {
            wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now));
        }
        const auto count = static_cast<int32_t>(pending_.size());
        for (int32_t i = 0; i < count; ++i) {
            sockets[i] = pending_[static_cast<size_t>(i)].socket;
        }
        const auto waitMs = static_cast<int32_t>(std::max<std::chrono::milliseconds::rep>(wait.count(), 0));
        if (!TIdStack::Instance().WaitConnected(sockets, count, waitMs, ready)) {
            continue;
        }
        // From the back, so that the positions of those still to look at
        // stay where they were.
        for (int32_t i = count - 1; i >= 0; --i) {
            if (!ready[i]) {
                continue;
            }
            const auto position = static_cast<size_t>(i);
            const int32_t error = TIdStack::Instance().PendingError(pending_[position].socket);
            if (error == 0) {
                winner = pending_[position].index;
                return Win(position);
            }
            lastError_ = error;
            Close(position);
            // A failed attempt hands its turn to the next address at once.
            nextAttempt = Clock::now();
        }
    }
}

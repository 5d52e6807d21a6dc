// IdRelay: the tunnel and the one-way pass over the stack's pump.
#include "io/IdRelay.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "base/IdException.h"
#include "base/IdGlobal.h"
#include "io/IdIOHandlerSocket.h"
#include "net/IdStack.h"

namespace {

// The most one move takes from a side.
constexpr int32_t RelayChunk = 256 * 1024;
// An idle relay sleeps this long at most between looks at its sockets and
// its idle limit; a peer's bytes or close, and deactivation, wake it sooner.
constexpr int32_t RelayTurnMs = 500;
// In a conversation the answer is usually this close: look again before
// sleeping.
constexpr auto RelayLookAgain = std::chrono::microseconds(50);

}  // namespace

TIdRelay::TIdRelay(TIdTCPConnection& first, TIdTCPConnection& second, int32_t idleMs) : idleMs_(idleMs) {
    sides_[0].connection = &first;
    sides_[1].connection = &second;
    if (!Usable(0) || !Usable(1)) {
        return;
    }
    // An intercept must see every byte, so with one the bytes go through
    // the handlers; otherwise the stack's pump moves them.
    if (first.IOHandler()->Intercept() == nullptr && second.IOHandler()->Intercept() == nullptr) {
        pump_ = TIdStack::Instance().CreatePump();
        pump_->Prepare(SocketOf(0), SocketOf(1));
    } else {
        chunk_ = std::make_unique_for_overwrite<uint8_t[]>(RelayChunk);
    }
}

TIdRelay::~TIdRelay() {
    if (pump_ && Usable(0) && Usable(1)) {
        pump_->Finish(SocketOf(0), SocketOf(1));
    }
}

int TIdRelay::IndexOf(const TIdTCPConnection& connection) const {
    return &connection == sides_[0].connection ? 0 : 1;
}

bool TIdRelay::Usable(int side) const {
    const TIdTCPConnection* connection = sides_[side].connection;
    return connection->IOHandler() != nullptr && connection->SocketHandler() != nullptr &&
           connection->SocketHandler()->Binding() != nullptr && connection->SocketHandler()->Binding()->HasSocket();
}

TIdStackSocketHandle TIdRelay::SocketOf(int side) const {
    return sides_[side].connection->SocketHandler()->Binding()->Socket();
}

int64_t TIdRelay::PassedFrom(const TIdTCPConnection& connection) const {
    return sides_[IndexOf(connection)].passed;
}

void TIdRelay::Abort() {
    for (int side = 0; side < 2; ++side) {
        if (Usable(side)) {
            sides_[side].connection->SocketHandler()->Binding()->SetAbortiveClose();
        }
    }
}

int64_t TIdRelay::TakeQueued(int side, int64_t limit) {
    TIdIOHandler& from = *sides_[side].connection->IOHandler();
    if (from.InputIsEmpty() || limit <= 0) {
        return 0;
    }
    const auto count = static_cast<int32_t>(std::min<int64_t>(from.InputQueue()->Used(), limit));
    TIdBytes queued;
    from.InputQueue()->TakeBytes(queued, count, false);
    sides_[1 - side].connection->IOHandler()->WriteBytes(queued);
    sides_[side].passed += count;
    return count;
}

int32_t TIdRelay::MoveFrom(int side, int64_t limit) {
    const auto most = static_cast<int32_t>(std::min<int64_t>(limit, RelayChunk));
    TIdIOHandler& to = *sides_[1 - side].connection->IOHandler();
    int32_t moved = 0;
    if (pump_) {
        moved = pump_->Move(SocketOf(side), SocketOf(1 - side), most, to.WriteTimeout());
    } else {
        moved = TIdStack::Instance().ReceiveNoWait(SocketOf(side), chunk_.get(), most);
        if (moved > 0) {
            to.WriteData(chunk_.get(), moved);
        }
    }
    if (moved > 0) {
        sides_[side].passed += moved;
        sides_[side].connection->IOHandler()->CountReceived(moved);
        // Through the handler the send was counted already.
        if (pump_) {
            to.CountSent(moved);
        }
    }
    return moved;
}

int32_t TIdRelay::IdleWait(uint32_t lastActivity, int32_t turn) const {
    if (idleMs_ < 0) {
        return turn;
    }
    const auto idle = static_cast<int64_t>(TickDiff(lastActivity, TickCountMs()));
    if (idle >= idleMs_) {
        throw EIdReadTimeout("Read Timeout");
    }
    return static_cast<int32_t>(std::min<int64_t>(turn, idleMs_ - idle));
}

void TIdRelay::PassEnd(int side) {
    sides_[1 - side].connection->SocketHandler()->Binding()->ShutdownSending();
}

// Forwards whatever arrives on either side straight away, so neither
// direction paces the other. Every byte taken from one side is handed to the
// other before anything else happens; when a side ends its stream, what it
// sent before has therefore already been passed on, and its end follows.
// A side that ended is neither read nor waited on again (its socket stays
// readable for good), while the other direction goes on: a client that
// half-closes after its request still gets the whole answer.
void TIdRelay::Tunnel() {
    try {
        TakeQueued(0, std::numeric_limits<int64_t>::max());
        TakeQueued(1, std::numeric_limits<int64_t>::max());
        if (!Usable(0) || !Usable(1)) {
            return;
        }
        bool ended[2] = {false, false};
        for (int side = 0; side < 2; ++side) {
            if (sides_[side].connection->IOHandler()->PeerClosed()) {
                PassEnd(side);
                ended[side] = true;
            }
        }
        TIdStack& stack = TIdStack::Instance();
        uint32_t lastActivity = TickCountMs();
        TIdLookAgain look(RelayLookAgain);
        // Sides worth a move: at first the open ones, then those the last
        // wait reported and those that just moved bytes (more may be there).
        bool ready[2] = {!ended[0], !ended[1]};
        while (!ended[0] || !ended[1]) {
            if (!Usable(0) || !Usable(1)) {
                return;
            }
            bool moved = false;
            for (int side = 0; side < 2; ++side) {
                if (!ready[side]) {
                    continue;
                }
                const int32_t n = MoveFrom(side, RelayChunk);
                if (n == 0) {
                    PassEnd(side);
                    ended[side] = true;
                }
                ready[side] = n > 0;
                moved = moved || n >= 0;
            }
            if (moved) {
                lastActivity = TickCountMs();
                look.Restart();
                continue;
            }
            const int32_t wait = IdleWait(lastActivity, RelayTurnMs);
            // While looking again, one zero wait on the open sockets per look.
            TIdStackSocketHandle sockets[2];
            int open[2];
            int count = 0;
            for (int side = 0; side < 2; ++side) {
                if (!ended[side]) {
                    sockets[count] = SocketOf(side);
                    open[count++] = side;
                }
            }
            bool seen[2] = {false, false};
            stack.WaitReadable(sockets, count, look.Next() ? 0 : wait, seen);
            for (int i = 0; i < count; ++i) {
                ready[open[i]] = seen[i];
            }
        }
    } catch (...) {
        Abort();
        throw;
    }
}

int64_t TIdRelay::Pass(TIdTCPConnection& from, int64_t count) {
    const int side = IndexOf(from);
    const bool untilClose = count < 0;
    int64_t remaining = untilClose ? std::numeric_limits<int64_t>::max() : count;
    int64_t passed = 0;
    try {
        passed = TakeQueued(side, remaining);
        remaining -= passed;
        TIdStack& stack = TIdStack::Instance();
        uint32_t lastActivity = TickCountMs();
        TIdLookAgain look(RelayLookAgain);
        while (remaining > 0) {
            if (!Usable(side) || from.IOHandler()->PeerClosed()) {
                if (untilClose) {
                    break;
                }
                throw EIdConnClosedGracefully("Connection Closed Gracefully.");
            }
            if (!Usable(1 - side)) {
                throw EIdConnClosedGracefully("Connection Closed Gracefully.");
            }
            const int32_t n = MoveFrom(side, remaining);
            if (n > 0) {
                passed += n;
                remaining -= n;
                lastActivity = TickCountMs();
                look.Restart();
                continue;
            }
            if (n == 0) {
                if (untilClose) {
                    break;
                }
                throw EIdConnClosedGracefully("Connection Closed Gracefully.");
            }
            const int32_t wait = IdleWait(lastActivity, RelayTurnMs);
            // Only the sender is waited on. The receiver's peer ending its
            // stream is no reason to stop (a client may half-close once its
            // request is out and still read the whole answer), and its
            // socket would then be readable for good. A receiver that has
            // really gone fails the next write.
            const TIdStackSocketHandle socket = SocketOf(side);
            stack.WaitReadable(&socket, 1, look.Next() ? 0 : wait);
        }
    } catch (...) {
        Abort();
        throw;
    }
    return passed;
}

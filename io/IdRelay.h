// IdRelay: moves bytes between the sockets of two connections: both ways
// for a tunnel, one way for a body too large to hold (a count of bytes, or
// until the sender closes). Bytes go through the stack's pump (inside the
// kernel where the platform can), so what a relay holds is the pump's
// buffer whatever the size of what passes.
#pragma once

#include <cstdint>
#include <memory>

#include "io/IdTCPConnection.h"
#include "net/IdSocketPump.h"

class TIdRelay {
public:
    // idleMs: how long nothing may move before the relay gives up; -1 for
    // no limit. A peer that takes nothing is given up after the write
    // timeout of the connection that writes to it.
    TIdRelay(TIdTCPConnection& first, TIdTCPConnection& second, int32_t idleMs);
    ~TIdRelay();
    TIdRelay(const TIdRelay&) = delete;
    TIdRelay& operator=(const TIdRelay&) = delete;

    // Both ways until both peers have ended their streams. When one ends
    // its stream, what it sent before is passed on, then its end (the
    // other connection stops sending), and the other way goes on until
    // that peer ends too: a half-closed peer still gets its answer. A side
    // whose handler already saw its peer's end counts as ended from the
    // start. A reset or any failure ends the tunnel at once.
    void Tunnel();
    // From `from` (one of the two connections) to the other: exactly count
    // bytes, or with count -1 everything until the peer of `from` ends its
    // stream. Bytes already queued on `from` go first; nothing behind the
    // count is read. The receiver's peer ending its stream does not end the
    // pass, and its end is passed to nobody (an origin may take a client's
    // end for the client giving up); a receiver that is really gone fails a
    // write. Answers the bytes passed.
    int64_t Pass(TIdTCPConnection& from, int64_t count);
    // Bytes taken from the connection so far (for the access log).
    int64_t PassedFrom(const TIdTCPConnection& connection) const;

    // Whenever the relay gives up (idle, a peer that takes nothing, a peer
    // that leaves in the middle of a counted pass, any failure) it resets
    // both connections before it raises: an orderly close would queue its
    // end of stream behind bytes that a peer which stopped reading never
    // takes, and a body cut short must not look complete to its receiver.
    void Abort();

private:
    struct TSide {
        TIdTCPConnection* connection = nullptr;
        int64_t passed = 0;
    };

    int IndexOf(const TIdTCPConnection& connection) const;
    bool Usable(int side) const;
    TIdStackSocketHandle SocketOf(int side) const;
    // Bytes queued on that side's input go to the other side first.
    int64_t TakeQueued(int side, int64_t limit);
    // > 0 bytes moved from that side, 0 its peer ended, -1 nothing there.
    int32_t MoveFrom(int side, int64_t limit);
    // That side's peer ended its stream: the other connection stops
    // sending, so that its peer sees the end too.
    void PassEnd(int side);
    // Milliseconds left before the idle limit (-2 = no limit); raises the
    // read timeout once it has run out.
    int32_t IdleWait(uint32_t lastActivity, int32_t turn) const;

    TSide sides_[2];
    int32_t idleMs_;
    std::unique_ptr<TIdSocketPump> pump_;
    std::unique_ptr<uint8_t[]> chunk_;  // without a pump (an intercept must see the bytes)
};

// IdRefusedConnections: the clients a listener turned away, between their
// answer and their close. A client usually sends its request right after
// connecting; closing a socket with unread input resets the connection, and
// a reset may destroy the answer before the client has read it. So each
// refused socket gets its answer and an end of stream at once, is then read
// and drained until the client ends too, and is closed only then, or when a
// short time or a byte budget has run out, or when room is needed for a
// newer one. All of it happens on the listener's thread without waiting on
// any one client: the listener's wait for new clients covers these sockets
// too. No thread is spent, and what is held is bounded.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "net/IdPlatform.h"

class TIdRefusedConnections {
public:
    // Held at most; the oldest is closed to make room for a newer one. With
    // the listening socket this stays within one readiness wait (64).
    static constexpr size_t MaxHeld = 32;
    // How long one is drained at most.
    static constexpr int32_t DrainMs = 2000;
    // Bytes read from one at most; a client still sending beyond that is
    // not waiting for an answer.
    static constexpr int32_t DrainBytes = 64 * 1024;

    // Room for all is taken at once: refusing must not need memory, which
    // may be what is short.
    TIdRefusedConnections() { held_.reserve(MaxHeld); }
    ~TIdRefusedConnections();
    TIdRefusedConnections(const TIdRefusedConnections&) = delete;
    TIdRefusedConnections& operator=(const TIdRefusedConnections&) = delete;

    // Takes the socket: sends what the socket takes of answer without
    // waiting (a short answer always fits into a new connection's buffer),
    // ends the sending direction and holds the socket for draining.
    void Add(TIdStackSocketHandle socket, std::string_view answer);
    bool Empty() const { return held_.empty(); }
    size_t Count() const { return held_.size(); }
    // Waits up to timeoutMs, or until the next drain time runs out, for
    // input on the held sockets or on also (InvalidSocket for none), reads
    // what the held ones have and closes those that are done. True when
    // also is readable.
    bool Serve(TIdStackSocketHandle also, int32_t timeoutMs);
    void CloseAll();

private:
    using TClock = std::chrono::steady_clock;

    struct THeld {
        TIdStackSocketHandle socket;
        TClock::time_point deadline;
        int32_t drained;
    };

    // Reads what has arrived; true when the socket is done with: the client
    // ended or reset its side, or the byte budget ran out.
    static bool Drain(THeld& held);
    static void Close(TIdStackSocketHandle socket);

    std::vector<THeld> held_;  // oldest first
};

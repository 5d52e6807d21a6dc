// IdConnectRace: one connection to whichever of a host's addresses takes
// it first (RFC 8305). A name may have several addresses in both families,
// and the first one may not answer at all: each address gets its attempt
// in turn, a new one every AttemptDelayMs (at once when the one before has
// failed) while the earlier ones go on, and the first connect that
// completes wins; the others are closed at once.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "base/IdIPAddress.h"
#include "net/IdPlatform.h"

// The order in which a host's addresses are tried: the resolver's order,
// with the families taking turns, starting with the family of the first.
// One family gone quiet then costs one AttemptDelayMs, not one per address.
std::vector<TIdIPAddress> InterleaveFamilies(const std::vector<TIdIPAddress>& addresses);

class TIdConnectRace {
public:
    static constexpr int32_t AttemptDelayMs = 250;
    // How often a waiting race asks whether it should give up.
    static constexpr int32_t CancelCheckMs = 100;
    // Attempts under way at once, at most (one readiness wait).
    static constexpr size_t MaxPending = 64;

    // addresses in the order to try them (at least one); timeoutMs bounds
    // the whole race, 0 = no limit of its own (each attempt ends when the
    // system gives it up).
    TIdConnectRace(std::vector<TIdIPAddress> addresses, int32_t port, int32_t timeoutMs);
    ~TIdConnectRace();
    TIdConnectRace(const TIdConnectRace&) = delete;
    TIdConnectRace& operator=(const TIdConnectRace&) = delete;

    // Runs the race and gives the connected socket, blocking again and the
    // caller's from then on; winner tells which address it reached. Raises
    // EIdConnectTimeout "Connect timed out." when timeoutMs passes first,
    // the last attempt's socket error when every address failed, and
    // EIdConnClosedGracefully as soon as cancelled() gives true.
    TIdStackSocketHandle Run(const std::function<bool()>& cancelled, size_t& winner);

private:
    struct TAttempt {
        TIdStackSocketHandle socket;
        size_t index;
    };

    // Begins the connect to addresses_[index]: true when it is under way
    // (or already made: then it is the winner), false when it failed at
    // once (the error is kept).
    bool Begin(size_t index, size_t& winner, TIdStackSocketHandle& connected);
    TIdStackSocketHandle Win(size_t position);
    void Close(size_t position);

    std::vector<TIdIPAddress> addresses_;
    int32_t port_;
    int32_t timeoutMs_;
    std::vector<TAttempt> pending_;
    int32_t lastError_ = 0;
};

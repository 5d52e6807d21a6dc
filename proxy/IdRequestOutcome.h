// IdRequestOutcome: why a request got one of the proxy's own answers, or how
// the way to its origin failed. The status alone cannot tell: a 403 is a
// client outside Allow or a destination the rules keep out, a 502 any of
// several failures. Counted by the status figures.
#pragma once

#include <cstdint>

enum class TIdRequestOutcome : uint8_t {
    // The origin's answer, the proxy's own 200, or no answer at all.
    None,
    // Refusals, before any origin is contacted.
    RefusedLimit,        // past MaxConnections (503)
    RefusedAccess,       // the client is outside Allow (403)
    RefusedDestination,  // Deny, an unspecified address, a port outside ConnectPorts (403)
    RefusedAuth,         // missing or wrong credentials (407)
    RefusedLoop,         // a request for this proxy itself (508)
    RefusedFraming,      // a line or head that is no valid request (400, 414, 431, 501 ...)
    RefusedMethod,       // TRACE (405)
    // Failures on the way to the origin or tunnel target, or while waiting
    // for its answer head (502, 504).
    FailedResolve,         // the name does not resolve
    FailedConnectRefused,  // the connect was refused
    FailedConnectTimeout,  // the connect took longer than ConnectTimeout
    FailedReset,           // the connection was reset or aborted
    FailedTimeout,         // the origin was silent past IdleTimeout
    FailedClosed,          // the origin closed before its answer head was complete
    FailedBadAnswer,       // an answer head that is invalid or too large
    FailedParentAuth,      // the parent proxy did not take this proxy's credentials (502)
    FailedOther,
};

// The outcomes, for tables indexed by them.
inline constexpr int RequestOutcomeCount = static_cast<int>(TIdRequestOutcome::FailedOther) + 1;

inline bool IsRefusal(TIdRequestOutcome outcome) {
    return outcome >= TIdRequestOutcome::RefusedLimit && outcome <= TIdRequestOutcome::RefusedMethod;
}
inline bool IsOriginFailure(TIdRequestOutcome outcome) {
    return outcome >= TIdRequestOutcome::FailedResolve;
}

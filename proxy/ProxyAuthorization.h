// ProxyAuthorization: the Basic credential check of the proxy and the
// throttle that slows down an address that keeps failing it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

// The Base64 decoder of the credential check: characters outside the
// alphabet are skipped, a pad in the third or fourth place of a group ends
// decoding, an incomplete final group is dropped.
std::string DecodeBase64Text(std::string_view text);

// "Basic <base64 of user:password>", the value of an Authorization or
// Proxy-Authorization field (RFC 7617), for this proxy's own login to a
// parent proxy.
std::string BasicCredentials(std::string_view user, std::string_view password);

// True when value is a Basic credential (scheme in any case) for exactly
// user and password.
bool IsProxyAuthorized(std::string_view value, const std::string& user, const std::string& password);

// The user name of a Basic credential (scheme in any case): what its
// decoded text holds before the first colon; "" for any other scheme.
std::string ProxyUserName(std::string_view value);

// Whether what a client supplied equals the secret, in a time that depends
// only on the length of what was supplied.
bool EqualInConstantTime(std::string_view supplied, std::string_view secret);

// Failed logins per client address. An address that keeps failing (at
// least FailuresBeforeDelay times, each within QuietMs of the one before)
// has its credential checks rationed: one every DelayMs, however many
// connections carry them, so guessing crawls even in parallel. A request
// whose turn is further away than it may wait is refused without its
// credentials being checked. QuietMs without a failure forgets the
// address; other addresses are never slowed. Thread-safe; holds at most
// MaxTracked addresses whatever number of them fail.
class TIdLoginThrottle {
public:
    static constexpr int32_t FailuresBeforeDelay = 10;
    static constexpr int32_t QuietMs = 60000;
    static constexpr int32_t DelayMs = 1000;
    static constexpr size_t MaxTracked = 4096;

    // Asks at nowMs (a tick count) for a credential check of address: how
    // long to wait for its turn (0: at once), or -1 when its turn is more
    // than maxWaitMs away (no check then; the turn is not taken).
    int32_t Admit(const std::string& address, uint32_t nowMs, int32_t maxWaitMs);
    // Records a failed check of address at nowMs.
    void Failed(const std::string& address, uint32_t nowMs);
    // Addresses held now.
    size_t Tracked();

private:
    struct TEntry {
        int32_t failures;
        uint32_t lastFailure;
        uint32_t nextCheck;  // a tick count; valid while the address is rationed
    };
    std::mutex lock_;  // guards entries_
    std::unordered_map<std::string, TEntry> entries_;
};

// ProxyAuthorization: Base64, the credential check and the login throttle.
#include "proxy/ProxyAuthorization.h"

#include <algorithm>

#include "base/IdGlobal.h"

std::string BasicCredentials(std::string_view user, std::string_view password) {
    static constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::string plain = std::string(user) + ":" + std::string(password);
    std::string out = "Basic ";
    for (size_t i = 0; i < plain.size(); i += 3) {
        const size_t left = plain.size() - i;
        uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(plain[i])) << 16;
        if (left > 1) {
            group |= static_cast<uint32_t>(static_cast<unsigned char>(plain[i + 1])) << 8;
        }
        if (left > 2) {
            group |= static_cast<unsigned char>(plain[i + 2]);
        }
        out += Alphabet[(group >> 18) & 63];
        out += Alphabet[(group >> 12) & 63];
        out += left > 1 ? Alphabet[(group >> 6) & 63] : '=';
        out += left > 2 ? Alphabet[group & 63] : '=';
    }
    return out;
}

std::string DecodeBase64Text(std::string_view text) {
    constexpr int Skip = -2;
    constexpr int Pad = -1;
    auto value = [](unsigned char c) -> int {
        if (c >= 'A' && c <= 'Z') {
            return c - 'A';
        }
        if (c >= 'a' && c <= 'z') {
            return c - 'a' + 26;
        }
        if (c >= '0' && c <= '9') {
            return c - '0' + 52;
        }
        if (c == '+') {
            return 62;
        }
        if (c == '/') {
            return 63;
        }
        if (c == '=') {
            return Pad;
        }
        return Skip;
    };
    // A pad in the first or second place takes part as the 16-bit 0xFFFF.
    auto arithmetic = [](int v) -> uint32_t { return v == Pad ? 0xFFFFu : static_cast<uint32_t>(v); };
    std::string out;
    out.reserve(text.size() * 3 / 4);
    int group[4];
    int count = 0;
    for (const char ch : text) {
        const int v = value(static_cast<unsigned char>(ch));
        if (v == Skip) {
            continue;
        }
        group[count++] = v;
        if (count < 4) {
            continue;
        }
        count = 0;
        const uint32_t q0 = arithmetic(group[0]);
        const uint32_t q1 = arithmetic(group[1]);
        out.push_back(static_cast<char>(((q0 << 2) | (q1 >> 4)) & 0xFF));
        if (group[2] == Pad) {
            return out;
        }
        const auto q2 = static_cast<uint32_t>(group[2]);
        out.push_back(static_cast<char>(((q1 << 4) | (q2 >> 2)) & 0xFF));
        if (group[3] == Pad) {
            return out;
        }
        const auto q3 = static_cast<uint32_t>(group[3]);
        out.push_back(static_cast<char>(((q2 << 6) | q3) & 0xFF));
    }
    return out;
}

namespace {

// The user name and password of a Basic credential (scheme in any case);
// false for any other scheme.
bool DecodeBasic(std::string_view value, std::string& user, std::string& password) {
    std::string rest = TrimText(value);
    if (UpperCaseAscii(TrimText(CutField(rest, " "))) != "BASIC") {
        return false;
    }
    password = DecodeBase64Text(rest);
    user = CutField(password, ":");
    return true;
}

}  // namespace

std::string ProxyUserName(std::string_view value) {
    std::string user;
    std::string password;
    return DecodeBasic(value, user, password) ? user : std::string();
}

bool IsProxyAuthorized(std::string_view value, const std::string& user, const std::string& password) {
    std::string userName;
    std::string decoded;
    if (!DecodeBasic(value, userName, decoded)) {
        return false;
    }
    // Both parts are always compared, each in a time that tells nothing of
    // where it differs or how long the secret is.
    const bool userMatches = EqualInConstantTime(userName, user);
    const bool passwordMatches = EqualInConstantTime(decoded, password);
    return userMatches & passwordMatches;
}

bool EqualInConstantTime(std::string_view supplied, std::string_view secret) {
    // The loop runs over what the client sent, never over the secret, so
    // its length shows only the client's own; a length that differs fails
    // without leaving the loop early.
    unsigned difference = supplied.size() != secret.size() ? 1U : 0U;
    const size_t secretSize = secret.empty() ? 1 : secret.size();
    for (size_t i = 0; i < supplied.size(); ++i) {
        const auto expected = secret.empty() ? 0U : static_cast<unsigned char>(secret[i % secretSize]);
        difference |= static_cast<unsigned char>(supplied[i]) ^ expected;
    }
    return difference == 0;
}

// ----------------------------------------------------------- TIdLoginThrottle

int32_t TIdLoginThrottle::Admit(const std::string& address, uint32_t nowMs, int32_t maxWaitMs) {
    std::scoped_lock lock(lock_);
    const auto found = entries_.find(address);
    if (found == entries_.end()) {
        return 0;
    }
    TEntry& entry = found->second;
    if (entry.failures < FailuresBeforeDelay ||
        TickDiff(entry.lastFailure, nowMs) >= static_cast<uint32_t>(QuietMs)) {
        return 0;
    }
    // Signed, as the turn may lie behind us or ahead (the ticks wrap).
    const auto wait = static_cast<int32_t>(entry.nextCheck - nowMs);
    if (wait <= 0) {
        entry.nextCheck = nowMs + DelayMs;
        return 0;
    }
    if (wait > maxWaitMs) {
        return -1;
    }
    entry.nextCheck += DelayMs;
    return wait;
}

void TIdLoginThrottle::Failed(const std::string& address, uint32_t nowMs) {
    std::scoped_lock lock(lock_);
    auto found = entries_.find(address);
    if (found == entries_.end()) {
        if (entries_.size() >= MaxTracked) {
            // Bounded whatever number of addresses fail: the quiet ones go
            // first, then any.
            std::erase_if(entries_, [nowMs](const auto& entry) {
                return TickDiff(entry.second.lastFailure, nowMs) >= static_cast<uint32_t>(QuietMs);
            });
            if (entries_.size() >= MaxTracked) {
                entries_.erase(entries_.begin());
            }
        }
        found = entries_.emplace(address, TEntry{0, nowMs, nowMs}).first;
    }
    TEntry& entry = found->second;
    if (TickDiff(entry.lastFailure, nowMs) >= static_cast<uint32_t>(QuietMs)) {
        entry.failures = 0;
    }
    entry.failures = std::min(entry.failures + 1, FailuresBeforeDelay);
    entry.lastFailure = nowMs;
    if (entry.failures >= FailuresBeforeDelay && static_cast<int32_t>(entry.nextCheck - (nowMs + DelayMs)) < 0) {
        entry.nextCheck = nowMs + DelayMs;
    }
}

size_t TIdLoginThrottle::Tracked() {
    std::scoped_lock lock(lock_);
    return entries_.size();
}

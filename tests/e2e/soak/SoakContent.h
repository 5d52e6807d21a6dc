// SoakContent: what the soak and the end-to-end tests that drive vantrel
// with raw sockets send and check: deterministic bytes by seed, their hash,
// and HTTP heads taken apart. Their sockets, origin servers, program runner
// and waits are the shared ones of tests/support. Linux only.
#pragma once

#include <poll.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/LoopbackSocket.h"
#include "tests/support/OriginServer.h"
#include "tests/support/Program.h"
#include "tests/support/Wait.h"

namespace vtltest {

// Waits, without reading, until the peer has closed its side. Unlike a
// peek, this sees the close behind bytes that were never read. Ends early
// when the socket's server stops.
inline bool WaitPeerClosed(const TLoopbackSocket& socket, Clock::time_point deadline) {
    while (!socket.Stopping()) {
        const auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
        if (left <= 0) {
            return false;
        }
        pollfd p{socket.Handle(), POLLRDHUP, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 50)));
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        if (ready > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
            return true;
        }
    }
    return false;
}

// ------------------------------------------------------------ test content

// Deterministic bytes for a seed: the origin serves them and the client
// regenerates them to check what arrived, byte for byte. Appending in pieces
// gives the same bytes as appending at once.
class TPatternStream {
public:
    explicit TPatternStream(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull) {}

    void Append(std::string& out, size_t count) {
        const size_t start = out.size();
        out.resize(start + count);
        for (size_t i = start; i < out.size(); ++i) {
            if (left_ == 0) {
                state_ ^= state_ << 13;
                state_ ^= state_ >> 7;
                state_ ^= state_ << 17;
                word_ = state_;
                left_ = 8;
            }
            out[i] = static_cast<char>(word_ & 0xFF);
            word_ >>= 8;
            --left_;
        }
    }

private:
    uint64_t state_;
    uint64_t word_ = 0;
    int left_ = 0;
};

inline std::string PatternBytes(uint64_t seed, size_t size) {
    std::string out;
    out.reserve(size);
    TPatternStream(seed).Append(out, size);
    return out;
}

inline uint64_t Fnv1a(std::string_view data) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (const char c : data) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001B3ull;
    }
    return hash;
}

inline std::string Hex(uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

// The head of an HTTP message as an origin or client reads it.
struct THttpHead {
    std::string startLine;
    std::vector<std::pair<std::string, std::string>> fields;
    std::string raw;  // through the empty line

    std::string Value(std::string_view name) const {
        for (const auto& [key, value] : fields) {
            if (key.size() == name.size() &&
                std::equal(key.begin(), key.end(), name.begin(),
                           [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) ==
                                                       std::tolower(static_cast<unsigned char>(b)); })) {
                return value;
            }
        }
        return {};
    }
};

// Splits text (ending in CR LF CR LF) into a head; the rest stays in text.
inline bool TakeHead(std::string& text, THttpHead& head) {
    const size_t end = text.find("\r\n\r\n");
    if (end == std::string::npos) {
        return false;
    }
    head.raw = text.substr(0, end + 4);
    text.erase(0, end + 4);
    std::istringstream lines(head.raw);
    std::string line;
    bool first = true;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty()) {
            break;
        }
        if (first) {
            head.startLine = line;
            first = false;
            continue;
        }
        const size_t colon = line.find(':');
        std::string value = colon == std::string::npos ? std::string() : line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
            value.erase(0, 1);
        }
        head.fields.emplace_back(line.substr(0, colon), value);
    }
    return true;
}

}  // namespace vtltest

// FuzzSupport: what the libFuzzer targets share: a check that prints what
// broke and aborts (so libFuzzer keeps the input as a crasher), and a reader
// that draws settings (chunk sizes, flags, short texts) from the fuzz bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz {

// Control bytes and bytes above 126 shown as \xNN, so a report can be pasted
// into a test as it stands.
inline std::string Escaped(std::string_view text) {
    static const char Hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 32 || byte > 126 || c == '\\' || c == '"') {
            out += "\\x";
            out += Hex[byte >> 4];
            out += Hex[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

[[noreturn]] inline void Fail(const char* condition, const char* file, int line, std::string_view detail) {
    std::fprintf(stderr, "\n*** invariant broken at %s:%d: %s\n", file, line, condition);
    if (!detail.empty()) {
        std::fprintf(stderr, "*** %.*s\n", static_cast<int>(detail.size()), detail.data());
    }
    std::fflush(stderr);
    std::abort();
}

// Draws bytes from the front of the input; an exhausted reader yields zeros
// and empty texts, so every input, however short, is a complete case.
class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return offset_ >= size_; }
    size_t Remaining() const { return size_ - offset_; }

    uint8_t Byte() { return Empty() ? 0 : data_[offset_++]; }
    bool Flag() { return (Byte() & 1) != 0; }
    // A value in 0 .. bound - 1 (bound > 0).
    size_t Below(size_t bound) { return Byte() % bound; }

    std::string Text(size_t count) {
        count = std::min(count, Remaining());
        std::string text(reinterpret_cast<const char*>(data_ + offset_), count);
        offset_ += count;
        return text;
    }
    // A length byte, then that many bytes (at most maxLength).
    std::string ShortText(size_t maxLength) { return Text(Below(maxLength + 1)); }
    std::string Rest() { return Text(Remaining()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

}  // namespace fuzz

// The condition text and position, plus a detail string built only on failure.
#define FUZZ_CHECK(condition, detail)                                  \
    do {                                                               \
        if (!(condition)) {                                            \
            ::fuzz::Fail(#condition, __FILE__, __LINE__, (detail));     \
        }                                                              \
    } while (false)

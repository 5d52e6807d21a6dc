// IdGlobal: text, integer and IPv6 address helpers shared by every layer.
// All text is 8-bit and never translated; these routines read untrusted
// wire text (ports, Content-Length, Host headers), so every one of them has
// a defined, bounds-checked result for any input.
#include "base/IdGlobal.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "base/IdException.h"
#include "base/IdIPAddress.h"

namespace {

bool IsBlankOrControl(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::string TrimText(std::string_view text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && IsBlankOrControl(text[first])) {
        ++first;
    }
    while (last > first && IsBlankOrControl(text[last - 1])) {
        --last;
    }
    return std::string(text.substr(first, last - first));
}

int FindSubText(std::string_view sub, std::string_view text) {
    // The code page is single-byte, so a byte search never lands inside a
    // character.
    if (sub.empty() || sub.size() > text.size()) {
        return 0;
    }
    const size_t pos = text.find(sub);
    return pos == std::string_view::npos ? 0 : static_cast<int>(pos + 1);
}

std::string CutField(std::string& source, std::string_view delimiter, bool remove, bool matchCase) {
    int pos;
    if (matchCase) {
        pos = FindSubText(delimiter, source);
    } else {
        pos = FindSubText(UpperCaseAscii(delimiter), UpperCaseAscii(source));
    }
    if (pos == 0) {
        std::string result = source;
        if (remove) {
            source.clear();
        }
        return result;
    }
    std::string result = source.substr(0, static_cast<size_t>(pos - 1));
    if (remove) {
        source.erase(0, static_cast<size_t>(pos - 1) + delimiter.size());
    }
    return result;
}

namespace {

// An integer text split into its parts: sign, base and magnitude. The
// magnitude saturates: tooLong says it passed 64 bits (for hexadecimal,
// more than sixteen digits after leading zeros).
struct TIntegerText {
    bool negative = false;
    bool hex = false;
    bool tooLong = false;
    uint64_t magnitude = 0;
};

// The syntax of the settings file's integers: leading blanks (code 32), an
// optional sign, "$", "x", "X", "0x" or "0X" and hexadecimal digits, or
// decimal digits, to the end of the text. False for anything else.
bool ScanInteger(std::string_view text, TIntegerText& scanned) {
    size_t i = 0;
    const size_t n = text.size();
    while (i < n && text[i] == ' ') {
        ++i;
    }
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        scanned.negative = text[i] == '-';
        ++i;
    }
    if (i >= n) {
        return false;
    }
    if (text[i] == '$' || text[i] == 'x' || text[i] == 'X') {
        scanned.hex = true;
        ++i;
    } else if (text[i] == '0' && i + 1 < n && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        scanned.hex = true;
        i += 2;
    }
    if (i >= n) {
        return false;
    }
    constexpr uint64_t Max = UINT64_MAX;
    for (; i < n; ++i) {
        uint64_t digit = 0;
        if (scanned.hex) {
            const int value = HexDigitValue(text[i]);
            if (value < 0) {
                return false;
            }
            digit = static_cast<uint64_t>(value);
        } else if (text[i] >= '0' && text[i] <= '9') {
            digit = static_cast<uint64_t>(text[i] - '0');
        } else {
            return false;
        }
        const uint64_t base = scanned.hex ? 16 : 10;
        if (scanned.magnitude > (Max - digit) / base) {
            // Too long for any reading; the rest must still be digits.
            scanned.tooLong = true;
        } else if (!scanned.tooLong) {
            scanned.magnitude = scanned.magnitude * base + digit;
        }
    }
    return true;
}

}  // namespace

bool TryTextToInt(std::string_view text, int32_t& value) {
    TIntegerText scanned;
    if (!ScanInteger(text, scanned) || scanned.tooLong) {
        return false;
    }
    if (scanned.hex) {
        // Eight digits at most, and eight F digits are -1: the 32 bits are
        // taken as signed. Negating in unsigned arithmetic keeps
        // "-80000000" defined.
        if (scanned.magnitude > 0xFFFFFFFFu) {
            return false;
        }
        uint32_t bits = static_cast<uint32_t>(scanned.magnitude);
        if (scanned.negative) {
            bits = 0u - bits;
        }
        value = static_cast<int32_t>(bits);
        return true;
    }
    if (scanned.magnitude > 2147483647u) {
        if (!(scanned.negative && scanned.magnitude == 2147483648u)) {
            return false;
        }
        value = INT32_MIN;
        return true;
    }
    const auto magnitude = static_cast<int32_t>(scanned.magnitude);
    value = scanned.negative ? -magnitude : magnitude;
    return true;
}

TIntegerRead ReadInteger64(std::string_view text, int64_t& value) {
    TIntegerText scanned;
    if (!ScanInteger(text, scanned)) {
        return TIntegerRead::NotInteger;
    }
    const TIntegerRead outside = scanned.negative ? TIntegerRead::TooSmall : TIntegerRead::TooLarge;
    if (scanned.tooLong) {
        return outside;
    }
    if (scanned.hex) {
        // As in 32 bits: sixteen F digits are -1.
        const uint64_t bits = scanned.negative ? 0u - scanned.magnitude : scanned.magnitude;
        value = static_cast<int64_t>(bits);
        return TIntegerRead::Value;
    }
    constexpr uint64_t Largest = INT64_MAX;
    if (scanned.magnitude > Largest) {
        if (!(scanned.negative && scanned.magnitude == Largest + 1)) {
            return outside;
        }
        value = INT64_MIN;
        return TIntegerRead::Value;
    }
    const auto magnitude = static_cast<int64_t>(scanned.magnitude);
    value = scanned.negative ? -magnitude : magnitude;
    return TIntegerRead::Value;
}

int32_t TextToIntDef(std::string_view text, int32_t def) {
    int32_t value = 0;
    return TryTextToInt(TrimText(text), value) ? value : def;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (UpperAscii(a[i]) != UpperAscii(b[i])) {
            return false;
        }
    }
    return true;
}

int CompareIgnoringCase(std::string_view a, std::string_view b) {
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        const auto ca = static_cast<unsigned char>(UpperAscii(a[i]));
        const auto cb = static_cast<unsigned char>(UpperAscii(b[i]));
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

std::string UpperCaseAscii(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        c = UpperAscii(c);
    }
    return result;
}

TIdBytes TextToBytes(std::string_view text) {
    return TIdBytes(text.begin(), text.end());
}

std::string BytesToText(const TIdBytes& bytes, int32_t start, int32_t count) {
    const auto length = static_cast<int64_t>(bytes.size());
    if ((length > 0 || start != 0) && (start < 0 || start >= length)) {
        throw EIdRangeException("Index out of bounds.");
    }
    // A negative count (the default -1) takes everything from start on.
    const int64_t available = length - start;
    const int64_t take = count < 0 ? available : std::min<int64_t>(count, available);
    if (take <= 0) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(bytes.data()) + start, static_cast<size_t>(take));
}

std::string CanonicalIPv6Text(std::string_view text) {
    TIdIPAddress address;
    if (!TryParseIPAddress(text, address) || address.version != Id_IPv6) {
        return {};
    }
    return IPAddressText(address);
}

TIdIPv6Address ParseIPv6Text(std::string_view text) {
    TIdIPAddress address;
    if (!TryParseIPAddress(text, address) || address.version != Id_IPv6) {
        // Concatenated rather than formatted so that a NUL or "%" in hostile
        // text cannot shorten or disturb the message.
        throw EIdInvalidIPv6Address(std::string(text) + " is not a valid IPv6 address");
    }
    TIdIPv6Address groups{};
    for (size_t i = 0; i < groups.size(); ++i) {
        groups[i] = static_cast<uint16_t>((address.bytes[2 * i] << 8) | address.bytes[2 * i + 1]);
    }
    return groups;
}

uint32_t TickCountMs() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

uint32_t TickDiff(uint32_t start, uint32_t now) {
    // Unsigned subtraction is modulo 2^32, so a wrap between the readings
    // still yields the elapsed time.
    return now - start;
}

TIdLookAgain::TIdLookAgain(std::chrono::microseconds window)
    : window_(window), until_(std::chrono::steady_clock::now() + window) {}

void TIdLookAgain::Restart() { until_ = std::chrono::steady_clock::now() + window_; }

bool TIdLookAgain::Next() {
    if (std::chrono::steady_clock::now() >= until_) {
        return false;
    }
    std::this_thread::yield();
    return true;
}

void SleepMs(int32_t ms) {
    if (ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

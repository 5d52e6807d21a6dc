// IdIPAddress: address text read strictly or as the socket layer takes it,
// and written in the RFC 5952 form.
#include "base/IdIPAddress.h"

#include <algorithm>

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A decimal part of an IPv4 text, 0-255; -1 for anything else. Strictly:
// at most three digits without a leading zero unless it is "0". Tolerantly:
// blanks (space, tab) around it and leading zeros are taken.
int32_t DecimalPart(std::string_view text, TIdAddressReading reading) {
    if (reading == TIdAddressReading::Tolerant) {
        const size_t first = text.find_first_not_of(" \t");
        text = first == std::string_view::npos ? std::string_view{}
                                               : text.substr(first, text.find_last_not_of(" \t") - first + 1);
    } else if (text.size() > 3 || (text.size() > 1 && text.front() == '0')) {
        return -1;
    }
    if (text.empty()) {
        return -1;
    }
    int32_t value = 0;
    for (const char c : text) {
        if (!IsDigit(c)) {
            return -1;
        }
        value = value * 10 + (c - '0');
        if (value > 255) {
            return -1;
        }
    }
    return value;
}

bool ParseIPv4(std::string_view text, uint8_t* bytes, TIdAddressReading reading) {
    for (int part = 0; part < 4; ++part) {
        const size_t dot = text.find('.');
        if ((dot == std::string_view::npos) != (part == 3)) {
            return false;
        }
        const int32_t value = DecimalPart(text.substr(0, dot), reading);
        if (value < 0) {
            return false;
        }
        bytes[part] = static_cast<uint8_t>(value);
        text = dot == std::string_view::npos ? std::string_view{} : text.substr(dot + 1);
    }
    return true;
}

// Up to 16 bytes of an address being read.
struct TAddressBytes {
    std::array<uint8_t, 16> bytes{};
    size_t count = 0;

    bool Append(uint8_t byte) {
        if (count == bytes.size()) {
            return false;
        }
        bytes[count++] = byte;
        return true;
    }
};

// The colon-separated groups of one side of "::" (or of the whole text), as
// bytes appended to out. Only the last side may end in a dotted IPv4 tail.
bool ParseIPv6Groups(std::string_view text, bool mayEndInIPv4, TAddressBytes& out) {
    if (text.empty()) {
        return true;
    }
    for (;;) {
        const size_t colon = text.find(':');
        const std::string_view group = text.substr(0, colon);
        if (colon == std::string_view::npos && mayEndInIPv4 && group.find('.') != std::string_view::npos) {
            uint8_t tail[4];
            return ParseIPv4(group, tail, TIdAddressReading::Strict) && out.Append(tail[0]) &&
                   out.Append(tail[1]) && out.Append(tail[2]) && out.Append(tail[3]);
        }
        if (group.empty() || group.size() > 4) {
            return false;
        }
        uint32_t value = 0;
        for (const char c : group) {
            const int digit = HexDigitValue(c);
            if (digit < 0) {
                return false;
            }
            value = value * 16 + static_cast<uint32_t>(digit);
        }
        if (!out.Append(static_cast<uint8_t>(value >> 8)) || !out.Append(static_cast<uint8_t>(value & 0xFF))) {
            return false;
        }
        if (colon == std::string_view::npos) {
            return true;
        }
        text.remove_prefix(colon + 1);
    }
}

bool ParseIPv6(std::string_view text, std::array<uint8_t, 16>& bytes) {
    const size_t gap = text.find("::");
    TAddressBytes front;
    if (gap == std::string_view::npos) {
        if (!ParseIPv6Groups(text, true, front) || front.count != 16) {
            return false;
        }
        bytes = front.bytes;
        return true;
    }
    TAddressBytes back;
    const std::string_view after = text.substr(gap + 2);
    if (after.find("::") != std::string_view::npos || !ParseIPv6Groups(text.substr(0, gap), false, front) ||
        !ParseIPv6Groups(after, true, back)) {
        return false;
    }
    // "::" stands for at least one group of zeros.
    if (front.count + back.count > 14) {
        return false;
    }
    bytes.fill(0);
    std::copy_n(front.bytes.begin(), front.count, bytes.begin());
    std::copy_n(back.bytes.begin(), back.count, bytes.end() - static_cast<std::ptrdiff_t>(back.count));
    return true;
}

bool IsMapped(const std::array<uint8_t, 16>& b) {
    return std::all_of(b.begin(), b.begin() + 10, [](uint8_t x) { return x == 0; }) && b[10] == 0xFF &&
           b[11] == 0xFF;
}

void AppendIPv4(std::string& text, const uint8_t* bytes) {
    for (size_t i = 0; i < 4; ++i) {
        if (i > 0) {
            text += '.';
        }
        text += std::to_string(bytes[i]);
    }
}

}  // namespace

bool TryParseIPAddress(std::string_view text, TIdIPAddress& address, TIdAddressReading reading) {
    TIdIPAddress parsed;
    if (text.find(':') != std::string_view::npos) {
        parsed.version = Id_IPv6;
        if (!ParseIPv6(text, parsed.bytes)) {
            return false;
        }
    } else if (!ParseIPv4(text, parsed.bytes.data(), reading)) {
        return false;
    }
    address = parsed;
    return true;
}

std::string IPAddressText(const TIdIPAddress& address) {
    std::string text;
    if (address.version != Id_IPv6) {
        AppendIPv4(text, address.bytes.data());
        return text;
    }
    const auto& b = address.bytes;
    if (IsMapped(b)) {
        text = "::ffff:";
        AppendIPv4(text, b.data() + 12);
        return text;
    }
    uint32_t groups[8];
    for (size_t i = 0; i < 8; ++i) {
        groups[i] = (static_cast<uint32_t>(b[2 * i]) << 8) | b[2 * i + 1];
    }
    // The longest run of zero groups, at least two long (RFC 5952 4.2).
    int runStart = -1;
    int runLength = 1;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int end = i;
        while (end < 8 && groups[end] == 0) {
            ++end;
        }
        if (end - i > runLength) {
            runStart = i;
            runLength = end - i;
        }
        i = end;
    }
    static constexpr char Hex[] = "0123456789abcdef";
    for (int i = 0; i < 8; ++i) {
        if (i == runStart) {
            text += "::";
            i += runLength - 1;
            continue;
        }
        if (i > 0 && i != runStart + runLength) {
            text += ':';
        }
        bool leading = true;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const uint32_t digit = (groups[i] >> shift) & 0xF;
            if (digit != 0 || shift == 0 || !leading) {
                text += Hex[digit];
                leading = false;
            }
        }
    }
    return text;
}

TIdIPAddress Unmapped(const TIdIPAddress& address) {
    if (address.version != Id_IPv6 || !IsMapped(address.bytes)) {
        return address;
    }
    TIdIPAddress v4;
    std::copy(address.bytes.begin() + 12, address.bytes.end(), v4.bytes.begin());
    return v4;
}

bool IsUnspecifiedAddress(const TIdIPAddress& address) {
    const TIdIPAddress plain = Unmapped(address);
    if (plain.version == Id_IPv4) {
        return plain.bytes[0] == 0;
    }
    return std::all_of(plain.bytes.begin(), plain.bytes.end(), [](uint8_t x) { return x == 0; });
}

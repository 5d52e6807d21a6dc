// Fuzz target for the integer conversion of settings values, ports and
// Content-Length (TryTextToInt, TextToIntDef): every text is compared with a
// second, independently written reading of the same rules, and every 32-bit
// value must survive a trip through its decimal and hexadecimal forms.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "base/IdGlobal.h"

namespace {

// The rules as an operator would read them: blanks (code 32) in front, a
// sign, then "$", "x", "X", "0x" or "0X" and hex digits, or decimal digits,
// to the very end. 64-bit arithmetic, so no wrap can hide a limit.
std::optional<int32_t> ReferenceTextToInt(std::string_view text) {
    size_t i = text.find_first_not_of(' ');
    if (i == std::string_view::npos) {
        return std::nullopt;
    }
    bool negative = false;
    if (text[i] == '+' || text[i] == '-') {
        negative = text[i] == '-';
        ++i;
    }
    const std::string_view body = text.substr(i);
    std::string_view digits;
    bool hex = true;
    if (!body.empty() && (body[0] == '$' || body[0] == 'x' || body[0] == 'X')) {
        digits = body.substr(1);
    } else if (body.size() >= 2 && body[0] == '0' && (body[1] == 'x' || body[1] == 'X')) {
        digits = body.substr(2);
    } else {
        hex = false;
        digits = body;
    }
    if (digits.empty()) {
        return std::nullopt;
    }
    int64_t value = 0;
    for (const char c : digits) {
        int digit = -1;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (hex && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (hex && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        }
        if (digit < 0) {
            return std::nullopt;
        }
        // The limits are checked on the value before each further digit.
        if (hex ? value > 0x0FFFFFFF : value > 214748364) {
            return std::nullopt;
        }
        value = value * (hex ? 16 : 10) + digit;
    }
    if (hex) {
        // Eight hex digits are a 32-bit pattern read as signed, then negated
        // modulo 2^32 (so "-80000000" stays the smallest value).
        auto bits = static_cast<uint32_t>(value);
        if (negative) {
            bits = ~bits + 1u;
        }
        return static_cast<int32_t>(bits);
    }
    if (negative) {
        value = -value;
    }
    if (value > INT32_MAX || value < INT32_MIN) {
        return std::nullopt;
    }
    return static_cast<int32_t>(value);
}

std::string ReferenceTrim(std::string_view text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && static_cast<unsigned char>(text[first]) <= 32) {
        ++first;
    }
    while (last > first && static_cast<unsigned char>(text[last - 1]) <= 32) {
        --last;
    }
    return std::string(text.substr(first, last - first));
}

std::string Describe(std::string_view text, std::optional<int32_t> expected, bool ok, int32_t got) {
    char buffer[160];
    std::snprintf(buffer, sizeof buffer, "expected %s%" PRId32 ", got %s%" PRId32,
                  expected ? "" : "failure/", expected.value_or(0), ok ? "" : "failure/", got);
    return "text \"" + fuzz::Escaped(text) + "\": " + buffer;
}

void CheckText(std::string_view text, int32_t def) {
    const std::optional<int32_t> expected = ReferenceTextToInt(text);
    int32_t value = 0;
    const bool ok = TryTextToInt(text, value);
    FUZZ_CHECK(ok == expected.has_value() && (!ok || value == *expected),
               Describe(text, expected, ok, value));

    const std::optional<int32_t> trimmed = ReferenceTextToInt(ReferenceTrim(text));
    const int32_t withDefault = TextToIntDef(text, def);
    FUZZ_CHECK(withDefault == trimmed.value_or(def), Describe(text, trimmed, true, withDefault));
}

void CheckRoundTrip(int32_t value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%" PRId32, value);
    FUZZ_CHECK(TextToIntDef(buffer, value ^ 1) == value, std::string("decimal ") + buffer);
    const auto bits = static_cast<uint32_t>(value);
    for (const char* format : {"$%" PRIX32, "0x%" PRIx32, "X%08" PRIX32, " -$%" PRIX32}) {
        std::snprintf(buffer, sizeof buffer, format, format[1] == '-' ? ~bits + 1u : bits);
        int32_t parsed = value ^ 1;
        FUZZ_CHECK(TryTextToInt(buffer, parsed) && parsed == value, std::string("hex ") + buffer);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CheckText(text, static_cast<int32_t>(size) - 7);

    fuzz::ByteReader reader(data, size);
    uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) {
        bits = (bits << 8) | reader.Byte();
    }
    CheckRoundTrip(static_cast<int32_t>(bits));
    return 0;
}

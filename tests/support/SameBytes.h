// SameBytes: compares two byte strings for a test and, when they differ,
// says where: the first differing offset, both lengths and a few bytes
// around it, escaped. EXPECT_EQ on a body of megabytes prints both bodies
// whole, and EXPECT_TRUE(a == b) prints nothing of use.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace vtltest {

// Printable ASCII as it is, everything else as \n, \r, \t or \xHH.
inline std::string EscapedBytes(std::string_view bytes) {
    std::string text;
    for (const char c : bytes) {
        const auto code = static_cast<unsigned char>(c);
        if (c == '\n') {
            text += "\\n";
        } else if (c == '\r') {
            text += "\\r";
        } else if (c == '\t') {
            text += "\\t";
        } else if (c == '\\' || c == '"') {
            text += '\\';
            text += c;
        } else if (code >= 32 && code < 127) {
            text += c;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", code);
            text += hex;
        }
    }
    return text;
}

// Use as EXPECT_TRUE(SameBytes(actual, expected)).
inline ::testing::AssertionResult SameBytes(std::string_view actual, std::string_view expected) {
    const size_t common = std::min(actual.size(), expected.size());
    const size_t at = static_cast<size_t>(
        std::mismatch(actual.begin(), actual.begin() + static_cast<std::ptrdiff_t>(common), expected.begin()).first -
        actual.begin());
    if (at == common && actual.size() == expected.size()) {
        return ::testing::AssertionSuccess();
    }
    constexpr size_t Context = 12;
    const size_t from = at > Context ? at - Context : 0;
    auto around = [&](std::string_view bytes) {
        return from >= bytes.size() ? std::string() : EscapedBytes(bytes.substr(from, at - from + Context));
    };
    return ::testing::AssertionFailure()
           << "the bytes differ first at offset " << at << " (actual: " << actual.size()
           << " bytes, expected: " << expected.size() << ")\n  actual   from offset " << from << ": \""
           << around(actual) << "\"\n  expected from offset " << from << ": \"" << around(expected) << "\"";
}

inline ::testing::AssertionResult SameBytes(const std::vector<uint8_t>& actual, const std::vector<uint8_t>& expected) {
    return SameBytes(std::string_view(reinterpret_cast<const char*>(actual.data()), actual.size()),
                     std::string_view(reinterpret_cast<const char*>(expected.data()), expected.size()));
}

}  // namespace vtltest

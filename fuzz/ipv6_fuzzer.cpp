// Fuzz target for the IPv6 address text reader and printer
// (CanonicalIPv6Text, ParseIPv6Text over TryParseIPAddress and
// IPAddressText): no read outside the text, the printed form is RFC 5952's
// and reads back to itself, and the reader accepts exactly what the C
// library's inet_pton accepts, as the same address.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "base/IdException.h"
#include "base/IdGlobal.h"

namespace {

std::vector<std::string> Groups(std::string_view canonical) {
    std::vector<std::string> groups;
    size_t start = 0;
    for (;;) {
        const size_t colon = canonical.find(':', start);
        groups.emplace_back(canonical.substr(start, colon - start));
        if (colon == std::string_view::npos) {
            return groups;
        }
        start = colon + 1;
    }
}

std::string AddressText(const TIdIPv6Address& address) {
    std::string text;
    for (const uint16_t group : address) {
        text += std::to_string(group) + " ";
    }
    return text;
}

void CheckText(std::string_view text) {
    const std::string context = "text \"" + fuzz::Escaped(text) + "\"";
    const std::string canonical = CanonicalIPv6Text(text);

    bool raised = false;
    TIdIPv6Address address{};
    try {
        address = ParseIPv6Text(text);
    } catch (const EIdInvalidIPv6Address& error) {
        raised = true;
        FUZZ_CHECK(error.Message() == std::string(text) + " is not a valid IPv6 address", context);
    }
    FUZZ_CHECK(raised == canonical.empty(), context + " canonical \"" + canonical + "\"");
    if (canonical.empty()) {
        return;
    }
    // The RFC 5952 form: lower-case hex, at most one "::", no group longer
    // than four digits, and it reads back to the same address and the
    // same text.
    FUZZ_CHECK(canonical.find_first_not_of("0123456789abcdef:.") == std::string::npos, context + " -> " + canonical);
    const size_t gap = canonical.find("::");
    FUZZ_CHECK(gap == std::string::npos || canonical.find("::", gap + 1) == std::string::npos,
               context + " -> " + canonical);
    for (const std::string& group : Groups(canonical)) {
        // A dotted tail ("::ffff:0.2.3.4") is IPv4's own form.
        if (group.find('.') == std::string::npos) {
            FUZZ_CHECK(group.size() <= 4, context + " -> " + canonical);
            FUZZ_CHECK(group.size() <= 1 || group.front() != '0', context + " -> " + canonical);
        }
    }
    FUZZ_CHECK(ParseIPv6Text(canonical) == address, context + " -> " + canonical);
    FUZZ_CHECK(CanonicalIPv6Text(canonical) == canonical, context + " -> " + canonical);
}

// inet_pton reads the RFC 4291 forms, and so do we: both accept exactly
// the same texts and read them as the same address.
void CompareWithLibrary(std::string_view text) {
    if (text.find('\0') != std::string_view::npos) {
        return;
    }
    const std::string terminated(text);
    unsigned char bytes[16];
    const bool library = inet_pton(AF_INET6, terminated.c_str(), bytes) == 1;
    const bool ours = !CanonicalIPv6Text(text).empty();
    FUZZ_CHECK(library == ours, "\"" + terminated + "\": inet_pton " + (library ? "accepts" : "refuses") +
                                    ", we " + (ours ? "accept" : "refuse"));
    if (!library || !ours) {
        return;
    }
    TIdIPv6Address expected{};
    for (size_t i = 0; i < 8; ++i) {
        expected[i] = static_cast<uint16_t>((bytes[2 * i] << 8) | bytes[2 * i + 1]);
    }
    const TIdIPv6Address read = ParseIPv6Text(text);
    FUZZ_CHECK(read == expected,
               "\"" + terminated + "\": ours " + AddressText(read) + "library " + AddressText(expected));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CheckText(text);
    CompareWithLibrary(text);
    return 0;
}

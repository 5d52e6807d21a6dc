// Fuzz target for the IPv6 address text reader of the socket layer
// (CanonicalIPv6Text, ParseIPv6Text): no read outside the text, at most
// eight groups, a canonical text reads back to the same address, and where
// the C library's inet_pton also accepts the text both agree on the address.
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

    // The canonical form: upper-case hex groups, no "::", three to eight
    // groups (at least two colons were required), each at most 16 bits.
    const std::vector<std::string> groups = Groups(canonical);
    FUZZ_CHECK(groups.size() >= 3 && groups.size() <= 8, context + " -> " + canonical);
    TIdIPv6Address expected{};
    for (size_t i = 0; i < groups.size(); ++i) {
        const std::string& group = groups[i];
        FUZZ_CHECK(!group.empty() && group.size() <= 4 &&
                       group.find_first_not_of("0123456789ABCDEF") == std::string::npos,
                   context + " -> " + canonical);
        expected[i] = static_cast<uint16_t>(std::stoul(group, nullptr, 16));
    }
    FUZZ_CHECK(address == expected, context + " -> " + canonical + " read as " + AddressText(address));

    // Reading the canonical text again gives the same address. The text
    // itself is stable once no IPv4 tail is left (a tail is written as
    // zero-padded byte pairs, "0102", which a second pass writes as "102").
    const std::string again = CanonicalIPv6Text(canonical);
    FUZZ_CHECK(!again.empty() && ParseIPv6Text(again) == address, context + " -> " + canonical + " -> " + again);
    FUZZ_CHECK(CanonicalIPv6Text(again) == again, context + " -> " + again);
    if (text.find('.') == std::string_view::npos) {
        FUZZ_CHECK(again == canonical, context + " -> " + canonical + " -> " + again);
    }
}

// inet_pton accepts only the strict RFC 4291 forms; each of those that our
// reader can hold (it allows at most seven colons, six with an IPv4 tail)
// must be accepted and read as the same address.
void CompareWithLibrary(std::string_view text) {
    if (text.find('\0') != std::string_view::npos) {
        return;
    }
    const std::string terminated(text);
    unsigned char bytes[16];
    if (inet_pton(AF_INET6, terminated.c_str(), bytes) != 1) {
        return;
    }
    const auto colons = std::count(text.begin(), text.end(), ':');
    const bool tail = text.find('.') != std::string_view::npos;
    const std::string canonical = CanonicalIPv6Text(text);
    if (colons > (tail ? 6 : 7)) {
        return;
    }
    FUZZ_CHECK(!canonical.empty(), "inet_pton accepts \"" + terminated + "\", we do not");
    TIdIPv6Address library{};
    for (size_t i = 0; i < 8; ++i) {
        library[i] = static_cast<uint16_t>((bytes[2 * i] << 8) | bytes[2 * i + 1]);
    }
    const TIdIPv6Address ours = ParseIPv6Text(text);
    FUZZ_CHECK(ours == library,
               "\"" + terminated + "\": ours " + AddressText(ours) + "library " + AddressText(library));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CheckText(text);
    CompareWithLibrary(text);
    return 0;
}

// IdIPAddress: the one reader of address text per family and the one
// printer. Every layer reads and writes addresses through these, so the
// socket layer, the access lists, the console and the log agree on what a
// text means and show an address the same way.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/IdGlobal.h"

// An address in network byte order; IPv4 uses the first four bytes.
struct TIdIPAddress {
    TIdIPVersion version = Id_IPv4;
    std::array<uint8_t, 16> bytes{};

    friend bool operator==(const TIdIPAddress&, const TIdIPAddress&) = default;
};

enum class TIdAddressReading {
    // IPv4 as four decimal parts 0-255 without leading zeros ("010" could
    // mean 8 or 10 depending on who reads it) and nothing around them.
    Strict,
    // As the socket layer has always taken IPv4 text: blanks (space, tab)
    // around each part and leading zeros allowed ("0127.000.0.1" is
    // 127.0.0.1).
    Tolerant,
};

// IPv6 is read in the text forms of RFC 4291 in either mode ("::" once, a
// dotted IPv4 tail read strictly); no blanks, brackets, zones or prefixes.
bool TryParseIPAddress(std::string_view text, TIdIPAddress& address,
                       TIdAddressReading reading = TIdAddressReading::Strict);

// RFC 5952: dotted decimal for IPv4; for IPv6 lower-case groups without
// leading zeros, the longest run of two or more zero groups (the first of
// equals) as "::", and an IPv4-mapped address with its dotted tail.
std::string IPAddressText(const TIdIPAddress& address);

// ::ffff:a.b.c.d is how a dual-stack socket shows an IPv4 peer: that IPv4
// address. Any other address as it is.
TIdIPAddress Unmapped(const TIdIPAddress& address);

// 0.0.0.0/8 ("this network", RFC 1122) and ::, mapped or not: no host has
// such an address, yet a connect to one reaches this machine on some
// systems.
bool IsUnspecifiedAddress(const TIdIPAddress& address);

// IdAccessList: the lists behind the access rules, read once from the
// comma-separated texts of the settings file and then only looked up, from
// many worker threads at once: networks (where clients may come from,
// where nothing may go) and ports (where tunnels may go). Address texts are
// read strictly, so that a typing error stops the start instead of quietly
// matching something else.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/IdGlobal.h"
#include "base/IdIPAddress.h"

// The item in double quotes for a message, with the bytes a terminal would
// act on (controls, 127 and above) shown as \xHH.
std::string QuotedItem(std::string_view item);

// The items of "a, b , c" with the blanks (space, tab) around each removed.
// An empty item (",a", "a,,b", "a,") is refused with a message; an
// all-blank text gives no items.
bool SplitListItems(std::string_view text, std::vector<std::string_view>& items, std::string& error);

// Addresses and networks in CIDR form: "192.168.1.0/24, 10.0.0.5, ::1,
// fd00::/8". An address alone is a network of one. IPv4 networks match IPv4
// addresses, also those in IPv4-mapped IPv6 form (::ffff:a.b.c.d, the form a
// dual-stack socket reports them in); IPv6 networks match IPv6 addresses.
class TIdNetworkList {
public:
    // Replaces list with the networks of text (blank text: none) and gives
    // true; on a bad item gives false, leaves list as it was and names the
    // item in error. Refused: anything that is not an address, a prefix
    // length above 32 (IPv4) or 128 (IPv6), and bits set after the prefix
    // ("10.0.0.5/8" is more likely a mistake than a way to write 10.0.0.0/8).
    static bool Parse(std::string_view text, TIdNetworkList& list, std::string& error);

    // Address text as the socket layer or the resolver gives it; a zone
    // suffix ("fe80::1%eth0") is ignored. Text that is no address: false.
    bool Contains(std::string_view addressText) const;
    bool Contains(const TIdIPAddress& address) const;
    bool Empty() const { return networks_.empty(); }

private:
    struct TNetwork {
        TIdIPAddress base;
        int prefixLength = 0;
    };
    std::vector<TNetwork> networks_;
};

// Ports and ranges of ports: "443, 563, 8443-8450"; numbers are decimal,
// 1 to 65535, and a range runs from its lower end to its higher one.
class TIdPortList {
public:
    // As TIdNetworkList::Parse.
    static bool Parse(std::string_view text, TIdPortList& list, std::string& error);

    bool Contains(int32_t port) const;
    bool Empty() const { return ranges_.empty(); }

private:
    struct TRange {
        int32_t low = 0;
        int32_t high = 0;
    };
    std::vector<TRange> ranges_;
};

// A host name as a list or a setting may give one: letters, digits, '-'
// and '.', no empty label (a final dot is allowed).
bool IsHostName(std::string_view name);

// Where requests go straight to their origin although there is a parent
// proxy: "intranet.example, .corp.example, 10.0.0.0/8, ::1". A name matches
// itself; a name with a leading dot matches that domain and every name
// under it. Addresses and networks match targets written as addresses:
// a name is never resolved to find out whether it is direct (the parent
// resolves what goes through it). Letter case does not matter.
class TIdDirectList {
public:
    // As TIdNetworkList::Parse; an item is an address, a network or a
    // host name (letters, digits, '-' and '.').
    static bool Parse(std::string_view text, TIdDirectList& list, std::string& error);

    // host: a name, or an address without brackets.
    bool Contains(std::string_view host) const;
    bool Empty() const { return networks_.Empty() && names_.empty(); }

private:
    TIdNetworkList networks_;
    std::vector<std::string> names_;  // lower case; ".x" is a domain
};

// IdAccessList: strict address text, networks compared bit by bit on their
// prefix, port ranges.
#include "proxy/IdAccessList.h"

#include <algorithm>

#include "base/IdGlobal.h"

namespace {

constexpr std::string_view ListBlanks = " \t";

// A decimal number of at most maxDigits digits, without a leading zero
// unless it is "0"; -1 for anything else.
int32_t StrictDecimal(std::string_view text, size_t maxDigits) {
    if (text.empty() || text.size() > maxDigits || (text.size() > 1 && text.front() == '0')) {
        return -1;
    }
    int32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return -1;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

int AddressBits(TIdIPVersion version) {
    return version == Id_IPv6 ? 128 : 32;
}

// Whether a and b agree in their first bits bits.
bool SamePrefix(const TIdIPAddress& a, const TIdIPAddress& b, int bits) {
    const auto wholeBytes = static_cast<size_t>(bits / 8);
    if (!std::equal(a.bytes.begin(), a.bytes.begin() + static_cast<std::ptrdiff_t>(wholeBytes), b.bytes.begin())) {
        return false;
    }
    const int restBits = bits % 8;
    if (restBits == 0) {
        return true;
    }
    const auto mask = static_cast<uint8_t>(0xFF << (8 - restBits));
    return (a.bytes[wholeBytes] & mask) == (b.bytes[wholeBytes] & mask);
}

bool NoBitsAfterPrefix(const TIdIPAddress& address, int bits) {
    TIdIPAddress masked = address;
    const int total = AddressBits(address.version);
    for (int bit = bits; bit < total; ++bit) {
        masked.bytes[static_cast<size_t>(bit / 8)] &= static_cast<uint8_t>(~(0x80 >> (bit % 8)));
    }
    return masked.bytes == address.bytes;
}

}  // namespace

std::string QuotedItem(std::string_view item) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string text = "\"";
    for (const char c : item) {
        const auto code = static_cast<unsigned char>(c);
        if (code < 0x20 || code >= 0x7F) {
            text += "\\x";
            text += Hex[code >> 4];
            text += Hex[code & 0xF];
        } else {
            text += c;
        }
    }
    text += '"';
    return text;
}

bool SplitListItems(std::string_view text, std::vector<std::string_view>& items, std::string& error) {
    items.clear();
    if (text.find_first_not_of(ListBlanks) == std::string_view::npos) {
        return true;
    }
    for (;;) {
        const size_t comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        const size_t first = item.find_first_not_of(ListBlanks);
        if (first == std::string_view::npos) {
            error = "empty item in the list (a comma too many)";
            items.clear();
            return false;
        }
        item = item.substr(first, item.find_last_not_of(ListBlanks) - first + 1);
        items.push_back(item);
        if (comma == std::string_view::npos) {
            return true;
        }
        text.remove_prefix(comma + 1);
    }
}

// ---------------------------------------------------------- TIdNetworkList

bool TIdNetworkList::Parse(std::string_view text, TIdNetworkList& list, std::string& error) {
    std::vector<std::string_view> items;
    if (!SplitListItems(text, items, error)) {
        return false;
    }
    std::vector<TNetwork> networks;
    for (const std::string_view item : items) {
        const size_t slash = item.find('/');
        TNetwork network;
        if (!TryParseIPAddress(item.substr(0, slash), network.base)) {
            error = QuotedItem(item) + " is not an address or network";
            return false;
        }
        const int bits = AddressBits(network.base.version);
        network.prefixLength = bits;
        if (slash != std::string_view::npos) {
            network.prefixLength = StrictDecimal(item.substr(slash + 1), 3);
            if (network.prefixLength < 0 || network.prefixLength > bits) {
                error = QuotedItem(item) + ": the prefix length of an " +
                        (bits == 32 ? "IPv4 network is 0 to 32" : "IPv6 network is 0 to 128");
                return false;
            }
        }
        if (!NoBitsAfterPrefix(network.base, network.prefixLength)) {
            error = QuotedItem(item) + " has address bits set after the prefix length";
            return false;
        }
        // A mapped network is written in IPv6 form but holds IPv4 addresses.
        const TIdIPAddress unmapped = Unmapped(network.base);
        if (unmapped.version != network.base.version && network.prefixLength >= 96) {
            network.base = unmapped;
            network.prefixLength -= 96;
        }
        networks.push_back(network);
    }
    list.networks_ = std::move(networks);
    return true;
}

bool TIdNetworkList::Contains(std::string_view addressText) const {
    if (addressText.find(':') != std::string_view::npos) {
        const size_t zone = addressText.find('%');
        if (zone != std::string_view::npos) {
            if (zone + 1 == addressText.size()) {
                return false;
            }
            addressText = addressText.substr(0, zone);
        }
    }
    TIdIPAddress address;
    return TryParseIPAddress(addressText, address) && Contains(address);
}

bool TIdNetworkList::Contains(const TIdIPAddress& address) const {
    const TIdIPAddress unmapped = Unmapped(address);
    return std::any_of(networks_.begin(), networks_.end(), [&unmapped](const TNetwork& network) {
        return network.base.version == unmapped.version &&
               SamePrefix(network.base, unmapped, network.prefixLength);
    });
}

// ------------------------------------------------------------- TIdPortList

bool TIdPortList::Parse(std::string_view text, TIdPortList& list, std::string& error) {
    std::vector<std::string_view> items;
    if (!SplitListItems(text, items, error)) {
        return false;
    }
    std::vector<TRange> ranges;
    for (const std::string_view item : items) {
        const size_t dash = item.find('-');
        auto port = [](std::string_view part) {
            const size_t first = part.find_first_not_of(ListBlanks);
            if (first == std::string_view::npos) {
                return -1;
            }
            part = part.substr(first, part.find_last_not_of(ListBlanks) - first + 1);
            // Leading zeros are harmless in a port; five digits keep the
            // arithmetic far from overflow.
            while (part.size() > 1 && part.front() == '0') {
                part.remove_prefix(1);
            }
            const int32_t value = StrictDecimal(part, 5);
            return value >= 1 && value <= 65535 ? value : -1;
        };
        TRange range;
        range.low = port(item.substr(0, dash));
        range.high = dash == std::string_view::npos ? range.low : port(item.substr(dash + 1));
        if (range.low < 0 || range.high < 0) {
            error = QuotedItem(item) + " is not a port (1 to 65535) or a range of ports (low-high)";
            return false;
        }
        if (range.low > range.high) {
            error = QuotedItem(item) + ": the range ends below its start";
            return false;
        }
        ranges.push_back(range);
    }
    list.ranges_ = std::move(ranges);
    return true;
}

bool TIdPortList::Contains(int32_t port) const {
    return std::any_of(ranges_.begin(), ranges_.end(),
                       [port](const TRange& range) { return port >= range.low && port <= range.high; });
}

// ----------------------------------------------------------- TIdDirectList

namespace {

std::string LowerName(std::string_view name) {
    std::string lower(name);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    // "example.com." is the same host as "example.com".
    if (lower.size() > 1 && lower.back() == '.') {
        lower.pop_back();
    }
    return lower;
}

}  // namespace

bool IsHostName(std::string_view name) {
    return !name.empty() && name.front() != '.' && name.find("..") == std::string_view::npos &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                      c == '.';
           });
}

bool TIdDirectList::Parse(std::string_view text, TIdDirectList& list, std::string& error) {
    std::vector<std::string_view> items;
    if (!SplitListItems(text, items, error)) {
        return false;
    }
    std::string networks;
    std::vector<std::string> names;
    for (const std::string_view item : items) {
        TIdIPAddress address;
        if (TryParseIPAddress(item.substr(0, item.find('/')), address)) {
            networks += (networks.empty() ? "" : ",") + std::string(item);
        } else if (IsHostName(item.substr(item.front() == '.' ? 1 : 0))) {
            names.push_back(LowerName(item));
        } else {
            error = QuotedItem(item) + " is not a host name, an address or a network";
            return false;
        }
    }
    TIdNetworkList parsed;
    if (!TIdNetworkList::Parse(networks, parsed, error)) {
        return false;
    }
    list.networks_ = std::move(parsed);
    list.names_ = std::move(names);
    return true;
}

bool TIdDirectList::Contains(std::string_view host) const {
    TIdIPAddress address;
    if (TryParseIPAddress(host, address)) {
        return networks_.Contains(address);
    }
    const std::string name = LowerName(host);
    return std::any_of(names_.begin(), names_.end(), [&name](const std::string& item) {
        if (item.front() != '.') {
            return name == item;
        }
        return name == std::string_view(item).substr(1) ||
               (name.size() > item.size() && name.compare(name.size() - item.size(), item.size(), item) == 0);
    });
}

// IdAccessListTest: tables of network and port list texts
// (accepted, or refused with a message that names the bad item), and of
// addresses and ports against lists: both families, mapped IPv4, /0, /32,
// /128, prefixes inside a byte, the ends of a range.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "proxy/IdAccessList.h"

namespace {

using namespace std::string_literals;

// ---------------------------------------------------------- list texts

struct TListTextCase {
    std::string text;
    const char* error;  // nullptr: accepted
};

void PrintTo(const TListTextCase& c, std::ostream* os) {
    *os << '"' << c.text << '"';
}

class NetworkListTextTest : public ::testing::TestWithParam<TListTextCase> {};

TEST_P(NetworkListTextTest, AcceptsOrNamesTheBadItem) {
    TIdNetworkList list;
    std::string error;
    ASSERT_TRUE(TIdNetworkList::Parse("192.0.2.1", list, error));
    const bool parsed = TIdNetworkList::Parse(GetParam().text, list, error);
    if (GetParam().error == nullptr) {
        EXPECT_TRUE(parsed) << error;
        return;
    }
    EXPECT_FALSE(parsed);
    EXPECT_EQ(error, GetParam().error);
    // A refused text leaves the list as it was.
    EXPECT_TRUE(list.Contains("192.0.2.1"));
}

INSTANTIATE_TEST_SUITE_P(
    Table, NetworkListTextTest,
    ::testing::Values(
        TListTextCase{"192.168.1.0/24, 10.0.0.5, ::1, fd00::/8", nullptr},
        TListTextCase{" \t10.0.0.0/8\t,::/0 ", nullptr}, TListTextCase{"0.0.0.0/0", nullptr},
        TListTextCase{"10.0.0.300", R"("10.0.0.300" is not an address or network)"},
        TListTextCase{"10.0.0.0/8, host.example", R"("host.example" is not an address or network)"},
        TListTextCase{"/8", R"("/8" is not an address or network)"},
        TListTextCase{"fe80::1%eth0", R"("fe80::1%eth0" is not an address or network)"},
        TListTextCase{"1.2.3.4\x1b[2J", R"("1.2.3.4\x1B[2J" is not an address or network)"},
        TListTextCase{"10.0.0.0/33", R"("10.0.0.0/33": the prefix length of an IPv4 network is 0 to 32)"},
        TListTextCase{"::/129", R"("::/129": the prefix length of an IPv6 network is 0 to 128)"},
        TListTextCase{"10.0.0.0/08", R"("10.0.0.0/08": the prefix length of an IPv4 network is 0 to 32)"},
        TListTextCase{"10.0.0.0/", R"("10.0.0.0/": the prefix length of an IPv4 network is 0 to 32)"},
        TListTextCase{"10.0.0.5/8", R"("10.0.0.5/8" has address bits set after the prefix length)"},
        TListTextCase{"fd00::1/8", R"("fd00::1/8" has address bits set after the prefix length)"},
        TListTextCase{"10.0.0.1,,10.0.0.2", "empty item in the list (a comma too many)"},
        TListTextCase{"10.0.0.1,", "empty item in the list (a comma too many)"},
        TListTextCase{", 10.0.0.1", "empty item in the list (a comma too many)"}));

class PortListTextTest : public ::testing::TestWithParam<TListTextCase> {};

TEST_P(PortListTextTest, AcceptsOrNamesTheBadItem) {
    TIdPortList list;
    std::string error;
    const bool parsed = TIdPortList::Parse(GetParam().text, list, error);
    if (GetParam().error == nullptr) {
        EXPECT_TRUE(parsed) << error;
    } else {
        EXPECT_FALSE(parsed);
        EXPECT_EQ(error, GetParam().error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, PortListTextTest,
    ::testing::Values(
        TListTextCase{"443, 563, 8443-8450", nullptr}, TListTextCase{"1-65535", nullptr},
        TListTextCase{"8443 - 8450", nullptr}, TListTextCase{"0443", nullptr},
        TListTextCase{"0", R"("0" is not a port (1 to 65535) or a range of ports (low-high))"},
        TListTextCase{"65536", R"("65536" is not a port (1 to 65535) or a range of ports (low-high))"},
        TListTextCase{"0x1BB", R"("0x1BB" is not a port (1 to 65535) or a range of ports (low-high))"},
        TListTextCase{"+443", R"("+443" is not a port (1 to 65535) or a range of ports (low-high))"},
        TListTextCase{"443-", R"("443-" is not a port (1 to 65535) or a range of ports (low-high))"},
        TListTextCase{"-443", R"("-443" is not a port (1 to 65535) or a range of ports (low-high))"},
        TListTextCase{"1-2-3", R"("1-2-3" is not a port (1 to 65535) or a range of ports (low-high))"},
        TListTextCase{"443 563", R"("443 563" is not a port (1 to 65535) or a range of ports (low-high))"},
        TListTextCase{"8450-8443", R"("8450-8443": the range ends below its start)"},
        TListTextCase{"443,,563", "empty item in the list (a comma too many)"}));

// ------------------------------------------------------------ matches

struct TNetworkMatchCase {
    const char* list;
    const char* address;
    bool contained;
};

void PrintTo(const TNetworkMatchCase& c, std::ostream* os) {
    *os << c.address << " in " << c.list;
}

class NetworkMatchTest : public ::testing::TestWithParam<TNetworkMatchCase> {};

TEST_P(NetworkMatchTest, AddressAgainstList) {
    TIdNetworkList list;
    std::string error;
    ASSERT_TRUE(TIdNetworkList::Parse(GetParam().list, list, error)) << error;
    EXPECT_EQ(list.Contains(GetParam().address), GetParam().contained);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NetworkMatchTest,
    ::testing::Values(
        TNetworkMatchCase{"10.0.0.0/8", "10.255.255.255", true}, TNetworkMatchCase{"10.0.0.0/8", "11.0.0.0", false},
        TNetworkMatchCase{"10.0.0.0/8", "9.255.255.255", false},
        // Mapped IPv4 as a dual-stack socket gives it, in both spellings.
        TNetworkMatchCase{"10.0.0.0/8", "::ffff:10.1.2.3", true},
        TNetworkMatchCase{"10.0.0.0/8", "0:0:0:0:0:FFFF:A01:203", true},
        TNetworkMatchCase{"10.0.0.0/8", "::10.1.2.3", false},
        TNetworkMatchCase{"::ffff:192.168.0.0/112", "192.168.3.4", true},
        TNetworkMatchCase{"::ffff:192.168.0.0/112", "192.169.0.0", false},
        TNetworkMatchCase{"10.0.0.0/9", "10.127.255.255", true}, TNetworkMatchCase{"10.0.0.0/9", "10.128.0.0", false},
        TNetworkMatchCase{"0.0.0.0/0", "203.0.113.9", true}, TNetworkMatchCase{"0.0.0.0/0", "::1", false},
        TNetworkMatchCase{"::/0", "2001:db8::1", true}, TNetworkMatchCase{"::/0", "1.2.3.4", false},
        TNetworkMatchCase{"::/0", "::ffff:1.2.3.4", false},
        TNetworkMatchCase{"10.0.0.5", "10.0.0.5", true}, TNetworkMatchCase{"10.0.0.5/32", "10.0.0.4", false},
        TNetworkMatchCase{"::1", "0:0:0:0:0:0:0:1", true}, TNetworkMatchCase{"::1/128", "::2", false},
        TNetworkMatchCase{"fe80::/10", "fe80::1%eth0", true}, TNetworkMatchCase{"fe80::/10", "fec0::1", false},
        TNetworkMatchCase{"fd00::/8", "fdff:ffff::1", true}, TNetworkMatchCase{"fd00::/8", "fe00::", false},
        // Not addresses: never in any list.
        TNetworkMatchCase{"0.0.0.0/0, ::/0", "", false}, TNetworkMatchCase{"0.0.0.0/0, ::/0", "localhost", false},
        TNetworkMatchCase{"0.0.0.0/0, ::/0", "1.2.3.4%eth0", false},
        TNetworkMatchCase{"0.0.0.0/0, ::/0", "::1%", false},
        TNetworkMatchCase{"0.0.0.0/0, ::/0", "1.2.3.4 ", false}, TNetworkMatchCase{"", "1.2.3.4", false}));

struct TPortMatchCase {
    const char* list;
    int32_t port;
    bool contained;
};

void PrintTo(const TPortMatchCase& c, std::ostream* os) {
    *os << c.port << " in " << c.list;
}

class PortMatchTest : public ::testing::TestWithParam<TPortMatchCase> {};

TEST_P(PortMatchTest, PortAgainstList) {
    TIdPortList list;
    std::string error;
    ASSERT_TRUE(TIdPortList::Parse(GetParam().list, list, error)) << error;
    EXPECT_EQ(list.Contains(GetParam().port), GetParam().contained);
}

constexpr const char* Ports = "443, 563, 8443-8450";

INSTANTIATE_TEST_SUITE_P(
    Table, PortMatchTest,
    ::testing::Values(TPortMatchCase{Ports, 443, true}, TPortMatchCase{Ports, 444, false},
                      TPortMatchCase{Ports, 563, true}, TPortMatchCase{Ports, 8442, false},
                      TPortMatchCase{Ports, 8443, true}, TPortMatchCase{Ports, 8450, true},
                      TPortMatchCase{Ports, 8451, false}, TPortMatchCase{Ports, 0, false},
                      TPortMatchCase{"1-65535", 1, true}, TPortMatchCase{"1-65535", 65535, true},
                      TPortMatchCase{"1-65535", 0, false}, TPortMatchCase{"1-65535", 65536, false},
                      TPortMatchCase{"1-65535", -443, false}));

}  // namespace

// IdIPAddressTest: one table of address texts through the one reader, in
// both of its modes, and back through the one printer; which addresses are
// unspecified.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "base/IdIPAddress.h"

namespace {

using namespace std::string_literals;

struct TAddressCase {
    std::string text;
    const char* strict;    // written back after a strict reading; nullptr: refused
    const char* tolerant;  // the same for the tolerant reading
    bool unspecified = false;
};

void PrintTo(const TAddressCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class AddressTextTest : public ::testing::TestWithParam<TAddressCase> {};

TEST_P(AddressTextTest, ReadsAndWritesTheOneWay) {
    const TAddressCase& c = GetParam();
    for (const auto& [reading, expected] : {std::pair{TIdAddressReading::Strict, c.strict},
                                           std::pair{TIdAddressReading::Tolerant, c.tolerant}}) {
        TIdIPAddress address;
        const bool parsed = TryParseIPAddress(c.text, address, reading);
        ASSERT_EQ(parsed, expected != nullptr) << (reading == TIdAddressReading::Strict ? "strict" : "tolerant");
        if (parsed) {
            EXPECT_EQ(IPAddressText(address), expected);
            EXPECT_EQ(IsUnspecifiedAddress(address), c.unspecified);
            TIdIPAddress again;
            ASSERT_TRUE(TryParseIPAddress(IPAddressText(address), again)) << "the printed form reads back";
            EXPECT_EQ(again, address);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, AddressTextTest,
    ::testing::Values(
        TAddressCase{"0.0.0.0", "0.0.0.0", "0.0.0.0", true}, TAddressCase{"0.1.2.3", "0.1.2.3", "0.1.2.3", true},
        TAddressCase{"1.0.0.0", "1.0.0.0", "1.0.0.0"},
        TAddressCase{"255.255.255.255", "255.255.255.255", "255.255.255.255"},
        TAddressCase{"::", "::", "::", true}, TAddressCase{"::1", "::1", "::1"},
        TAddressCase{"::ffff:0.0.0.7", "::ffff:0.0.0.7", "::ffff:0.0.0.7", true},
        TAddressCase{"2001:DB8::1", "2001:db8::1", "2001:db8::1"},
        TAddressCase{"::ffff:1.2.3.4", "::ffff:1.2.3.4", "::ffff:1.2.3.4"},
        TAddressCase{"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0", "1:2:3:4:5:6:7:0"},
        TAddressCase{"1:2:3:4:5:6:10.0.0.1", "1:2:3:4:5:6:a00:1", "1:2:3:4:5:6:a00:1"},
        TAddressCase{"0001:0:0:0:0:0:0:ffff", "1::ffff", "1::ffff"},
        TAddressCase{"1:0:0:1:0:0:0:1", "1:0:0:1::1", "1:0:0:1::1"},
        TAddressCase{"1:0:0:1:1:0:0:1", "1::1:1:0:0:1", "1::1:1:0:0:1"},
        // Leading zeros and blanks: the socket layer's reading only.
        TAddressCase{"010.0.0.1", nullptr, "10.0.0.1"}, TAddressCase{" 1 . 2\t.3. 4 ", nullptr, "1.2.3.4"},
        TAddressCase{"0127.000.0.1", nullptr, "127.0.0.1"}, TAddressCase{" 1.2.3.4", nullptr, "1.2.3.4"},
        // Missing or extra parts, out of range, in neither.
        TAddressCase{"1.2.3", nullptr, nullptr}, TAddressCase{"1.2.3.4.5", nullptr, nullptr},
        TAddressCase{"256.1.1.1", nullptr, nullptr}, TAddressCase{"1.2.3.", nullptr, nullptr},
        TAddressCase{"1.2.3.4.", nullptr, nullptr}, TAddressCase{"+1.2.3.4", nullptr, nullptr},
        TAddressCase{"1.2.3.0x4", nullptr, nullptr}, TAddressCase{"99999999999999999999.1.1.1", nullptr, nullptr},
        TAddressCase{"1:2:3:4:5:6:7", nullptr, nullptr}, TAddressCase{"1:2:3:4:5:6:7:8:9", nullptr, nullptr},
        TAddressCase{"1:2:3:4:5:6:7:8::", nullptr, nullptr}, TAddressCase{"::1:2:3:4:5:6:7:8", nullptr, nullptr},
        TAddressCase{"1::2::3", nullptr, nullptr}, TAddressCase{":::", nullptr, nullptr},
        TAddressCase{":1::", nullptr, nullptr}, TAddressCase{"1:", nullptr, nullptr},
        TAddressCase{"12345::", nullptr, nullptr}, TAddressCase{"::g", nullptr, nullptr},
        TAddressCase{"1.2.3.4::", nullptr, nullptr}, TAddressCase{"::1.2.3", nullptr, nullptr},
        TAddressCase{"::ffff:1.2.3.04", nullptr, nullptr}, TAddressCase{"1.2.3.4:1::", nullptr, nullptr},
        // What belongs around an address is not part of it.
        TAddressCase{"", nullptr, nullptr}, TAddressCase{"[::1]", nullptr, nullptr},
        TAddressCase{"::1%eth0", nullptr, nullptr}, TAddressCase{"1.2.3.4/8", nullptr, nullptr},
        TAddressCase{"1.2.3.4\0"s, nullptr, nullptr}, TAddressCase{"1.2.3.4\r\n", nullptr, nullptr}, TAddressCase{"localhost", nullptr, nullptr}));

}  // namespace

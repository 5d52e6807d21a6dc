// Tests of the shared text helpers: integer conversion, field cutting,
// trimming, case folding, byte/text conversion, IPv6 address text (including
// hostile input), the string list and message formatting.
#include "base/IdGlobal.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>

#include "base/IdException.h"
#include "base/IdStrings.h"

namespace {

using namespace std::string_literals;

// --- Integer conversion ----------------------------------------------------

struct IntCase {
    std::string text;
    bool ok;
    int32_t value;
};

class TryTextToIntTest : public ::testing::TestWithParam<IntCase> {};

TEST_P(TryTextToIntTest, FollowsTheStrictRules) {
    const IntCase& c = GetParam();
    int32_t value = 12345;
    EXPECT_EQ(TryTextToInt(c.text, value), c.ok) << '"' << c.text << '"';
    if (c.ok) {
        EXPECT_EQ(value, c.value) << '"' << c.text << '"';
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, TryTextToIntTest,
    ::testing::Values(
        IntCase{"8080", true, 8080}, IntCase{"0x1F90", true, 8080}, IntCase{"0X1F90", true, 8080},
        IntCase{"$1F90", true, 8080}, IntCase{"x1F90", true, 8080}, IntCase{"X1f90", true, 8080},
        IntCase{"8080abc", false, 0}, IntCase{"", false, 0}, IntCase{"   ", false, 0},
        IntCase{"12345678901", false, 0}, IntCase{"2147483648", false, 0},
        IntCase{"2147483650", false, 0}, IntCase{"4294967296", false, 0},
        IntCase{"2147483647", true, INT32_MAX}, IntCase{"-2147483648", true, INT32_MIN},
        IntCase{"-2147483649", false, 0}, IntCase{"  42", true, 42}, IntCase{"  42 ", false, 0},
        IntCase{"\t42", false, 0}, IntCase{"+7", true, 7}, IntCase{"-7", true, -7},
        IntCase{"0123", true, 123}, IntCase{"0", true, 0}, IntCase{"+", false, 0},
        IntCase{"-", false, 0}, IntCase{"- 5", false, 0}, IntCase{"$FFFFFFFF", true, -1},
        IntCase{"$7FFFFFFF", true, INT32_MAX}, IntCase{"$80000000", true, INT32_MIN},
        IntCase{"-0x80000000", true, INT32_MIN}, IntCase{"-$10", true, -16},
        IntCase{"$123456789", false, 0}, IntCase{"$000000001", true, 1}, IntCase{"$", false, 0},
        IntCase{"0x", false, 0}, IntCase{"0x-1", false, 0}, IntCase{"0x1G", false, 0},
        IntCase{"1 2", false, 0}, IntCase{"\xB2", false, 0}, IntCase{"1\0"s, false, 0}));

struct IntDefCase {
    std::string text;
    int32_t def;
    int32_t expected;
};

class TextToIntDefTest : public ::testing::TestWithParam<IntDefCase> {};

TEST_P(TextToIntDefTest, TrimsThenConvertsOrGivesDefault) {
    const IntDefCase& c = GetParam();
    EXPECT_EQ(TextToIntDef(c.text, c.def), c.expected) << '"' << c.text << '"';
}

INSTANTIATE_TEST_SUITE_P(Table, TextToIntDefTest,
                         ::testing::Values(IntDefCase{"  42 ", -1, 42}, IntDefCase{"\t42\r\n", -1, 42},
                                           IntDefCase{"$1F", -1, 31}, IntDefCase{"12abc", 80, 80},
                                           IntDefCase{"2147483648", 443, 443}, IntDefCase{"", -1, -1},
                                           IntDefCase{" \t ", 7, 7}, IntDefCase{"-0", 5, 0}));

struct Int64Case {
    std::string text;
    TIntegerRead read;
    int64_t value;
};

class ReadInteger64Test : public ::testing::TestWithParam<Int64Case> {};

TEST_P(ReadInteger64Test, TellsValuesFromJunkAndFromOverflowBySide) {
    const Int64Case& c = GetParam();
    int64_t value = 12345;
    EXPECT_EQ(ReadInteger64(c.text, value), c.read) << '"' << c.text << '"';
    EXPECT_EQ(value, c.read == TIntegerRead::Value ? c.value : 12345) << '"' << c.text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadInteger64Test,
    ::testing::Values(
        Int64Case{"8080", TIntegerRead::Value, 8080}, Int64Case{"  $1F90", TIntegerRead::Value, 8080},
        Int64Case{"4294968", TIntegerRead::Value, 4294968}, Int64Case{"12345678901", TIntegerRead::Value, 12345678901},
        Int64Case{"9223372036854775807", TIntegerRead::Value, INT64_MAX},
        Int64Case{"-9223372036854775808", TIntegerRead::Value, INT64_MIN},
        Int64Case{"9223372036854775808", TIntegerRead::TooLarge, 0},
        Int64Case{"-9223372036854775809", TIntegerRead::TooSmall, 0},
        Int64Case{"+99999999999999999999999", TIntegerRead::TooLarge, 0},
        Int64Case{"-99999999999999999999999", TIntegerRead::TooSmall, 0},
        Int64Case{"$FFFFFFFF", TIntegerRead::Value, 0xFFFFFFFF}, Int64Case{"0xFFFFFFFFFFFFFFFF", TIntegerRead::Value, -1},
        Int64Case{"$7FFFFFFFFFFFFFFF", TIntegerRead::Value, INT64_MAX},
        Int64Case{"$00000000000000001", TIntegerRead::Value, 1},
        Int64Case{"$10000000000000000", TIntegerRead::TooLarge, 0},
        Int64Case{"-$10000000000000000", TIntegerRead::TooSmall, 0},
        Int64Case{"99999999999999999999x", TIntegerRead::NotInteger, 0}, Int64Case{"", TIntegerRead::NotInteger, 0},
        Int64Case{"ten", TIntegerRead::NotInteger, 0}, Int64Case{"-", TIntegerRead::NotInteger, 0},
        Int64Case{"0x", TIntegerRead::NotInteger, 0}, Int64Case{"1 2", TIntegerRead::NotInteger, 0},
        Int64Case{"-0", TIntegerRead::Value, 0}));

// --- Fields, trimming, searching ---------------------------------------------

struct CutCase {
    std::string source;
    std::string delimiter;
    bool remove;
    bool matchCase;
    std::string result;
    std::string rest;
};

class CutFieldTest : public ::testing::TestWithParam<CutCase> {};

TEST_P(CutFieldTest, CutsAtTheFirstDelimiter) {
    const CutCase& c = GetParam();
    std::string source = c.source;
    EXPECT_EQ(CutField(source, c.delimiter, c.remove, c.matchCase), c.result);
    EXPECT_EQ(source, c.rest);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CutFieldTest,
    ::testing::Values(CutCase{"origin1:8443", ":", true, true, "origin1", "8443"},
                      CutCase{"origin1", ":", true, true, "origin1", ""},
                      CutCase{"a\r\nb", "\r\n", true, true, "a", "b"},
                      CutCase{"user:pa:ss", ":", true, true, "user", "pa:ss"},
                      CutCase{":abc", ":", true, true, "", "abc"},
                      CutCase{"abc:", ":", true, true, "abc", ""},
                      CutCase{"a:b", ":", false, true, "a", "a:b"},
                      CutCase{"abc", ":", false, true, "abc", "abc"},
                      CutCase{"abc", "", true, true, "abc", ""},
                      CutCase{"fooXbar", "x", true, true, "fooXbar", ""},
                      CutCase{"fooXbar", "x", true, false, "foo", "bar"},
                      CutCase{"KeyVALUErest", "value", true, false, "Key", "rest"},
                      CutCase{"a\0b"s, "\0"s, true, true, "a", "b"},
                      CutCase{"a", "abc", true, true, "a", ""}));

TEST(TrimTextTest, RemovesControlsAndBlanksAtBothEndsOnly) {
    EXPECT_EQ(TrimText("\t\r\n a\tb \r\n"), "a\tb");
    EXPECT_EQ(TrimText(""), "");
    EXPECT_EQ(TrimText(" \x01\x1f "), "");
    EXPECT_EQ(TrimText("\0x\0"s), "x");
    // Bytes above 127 are characters of the code page, not blanks.
    EXPECT_EQ(TrimText("\xA0x\xFF"), "\xA0x\xFF");
}

TEST(FindSubTextTest, ReturnsOneBasedPositionOrZero) {
    EXPECT_EQ(FindSubText("b", "abc"), 2);
    EXPECT_EQ(FindSubText("abc", "abc"), 1);
    EXPECT_EQ(FindSubText("cd", "abc"), 0);
    EXPECT_EQ(FindSubText("", "abc"), 0);
    EXPECT_EQ(FindSubText("\r\n", "x\ry\r\n"), 4);
    EXPECT_EQ(FindSubText("B", "abc"), 0);
}

TEST(CaseFoldingTest, FoldsAsciiLettersOnly) {
    EXPECT_TRUE(EqualIgnoringCase("CONTENT-LENGTH", "Content-Length"));
    EXPECT_TRUE(EqualIgnoringCase("", ""));
    EXPECT_FALSE(EqualIgnoringCase("Host", "Hosts"));
    EXPECT_FALSE(EqualIgnoringCase("\xE4", "\xC4"));
    EXPECT_FALSE(EqualIgnoringCase("[", "{"));
    EXPECT_EQ(UpperCaseAscii("get /a?b=\xE4z"), "GET /A?B=\xE4Z");

    EXPECT_EQ(CompareIgnoringCase("Accept", "ACCEPT"), 0);
    EXPECT_LT(CompareIgnoringCase("abc", "ABD"), 0);
    EXPECT_GT(CompareIgnoringCase("B", "a"), 0);
    EXPECT_LT(CompareIgnoringCase("Host", "host-x"), 0);
    EXPECT_GT(CompareIgnoringCase("\x80", "z"), 0);
}

// --- Bytes and text -------------------------------------------------------------

TEST(BytesTextTest, ConvertsByteForByte) {
    const std::string text = "a\0\xFFz"s;
    const TIdBytes bytes = TextToBytes(text);
    ASSERT_EQ(bytes, (TIdBytes{'a', 0, 0xFF, 'z'}));
    EXPECT_EQ(BytesToText(bytes), text);
    EXPECT_EQ(BytesToText(bytes, 1, 2), "\0\xFF"s);
    EXPECT_EQ(BytesToText(bytes, 2, 100), "\xFFz");
    EXPECT_EQ(BytesToText(bytes, 3, 0), "");
    EXPECT_EQ(BytesToText(TIdBytes{}, 0, 5), "");
    EXPECT_TRUE(TextToBytes("").empty());
}

TEST(BytesTextTest, RejectsStartOutsideTheArray) {
    const TIdBytes bytes{1, 2, 3};
    for (int32_t start : {3, -1, INT32_MAX, INT32_MIN}) {
        try {
            BytesToText(bytes, start, 1);
            ADD_FAILURE() << "start " << start << " accepted";
        } catch (const EIdRangeException& e) {
            EXPECT_STREQ(e.what(), "Index out of bounds.");
        }
    }
    EXPECT_THROW(BytesToText(TIdBytes{}, 1, 0), EIdRangeException);
}

// --- IPv6 address text ------------------------------------------------------------

struct IPv6Case {
    std::string text;
    std::string canonical;
};

class CanonicalIPv6Test : public ::testing::TestWithParam<IPv6Case> {};

TEST_P(CanonicalIPv6Test, GivesFullFormOrEmpty) {
    EXPECT_EQ(CanonicalIPv6Text(GetParam().text), GetParam().canonical) << '"' << GetParam().text << '"';
}

// The RFC 4291 texts and nothing else, written back in the RFC 5952 form:
// lower case, no leading zeros, the longest run of zero groups (two at
// least, the first of equals) as "::", a mapped address with its dotted
// tail.
INSTANTIATE_TEST_SUITE_P(
    Table, CanonicalIPv6Test,
    ::testing::Values(
        IPv6Case{"::1", "::1"}, IPv6Case{"fe80::1:2", "fe80::1:2"}, IPv6Case{"::ffff:1.2.3.4", "::ffff:1.2.3.4"},
        IPv6Case{"::", "::"}, IPv6Case{"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
        IPv6Case{"2001:DB8:0:0:0:0:0:1", "2001:db8::1"}, IPv6Case{"0001:00ab::", "1:ab::"},
        IPv6Case{"1:0:0:2:0:0:0:3", "1:0:0:2::3"}, IPv6Case{"1:0:0:2:3:0:0:4", "1::2:3:0:0:4"},
        IPv6Case{"1:2:3::4:5:6:7", "1:2:3:0:4:5:6:7"}, IPv6Case{"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"},
        IPv6Case{"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304"}, IPv6Case{"::10.0.0.255", "::a00:ff"},
        IPv6Case{"1::2::3", ""}, IPv6Case{"1:2", ""}, IPv6Case{"1:2:3", ""}, IPv6Case{"", ""},
        IPv6Case{":1:2:3:4:5:6:7", ""}, IPv6Case{"::ffff:1.2.3.1234", ""}, IPv6Case{"00001::", ""},
        IPv6Case{"::ffff:01.2.3.4", ""}, IPv6Case{"1:2:3:4:5:6:7:8:9", ""}, IPv6Case{"1:2:3:4:5:6:7:8::", ""},
        IPv6Case{"1:2:3:4:5:6:7:1.2.3.4", ""}, IPv6Case{"12345::1", ""}, IPv6Case{"::10000", ""},
        IPv6Case{"::g", ""}, IPv6Case{"1.2.3.4", ""}, IPv6Case{"::1.2.3", ""},
        IPv6Case{"::1.2.3.4.5", ""}, IPv6Case{"::256.1.1.1", ""}, IPv6Case{"::1.2.3.4a", ""},
        IPv6Case{"::1a.2.3.4", ""}, IPv6Case{"1.2.3.4::", ""}, IPv6Case{"1:2.3.4.5:6", ""},
        IPv6Case{"::1.2.3.", ""}, IPv6Case{"::1..3.4", ""}, IPv6Case{":::", ""}, IPv6Case{":", ""},
        IPv6Case{" ::1", ""}, IPv6Case{"::1%eth0", ""}, IPv6Case{"[::1]", ""},
        IPv6Case{"::1\0"s, ""}, IPv6Case{"::-1", ""}, IPv6Case{"::$1", ""}, IPv6Case{"::x1", ""},
        IPv6Case{"::123456789", ""}, IPv6Case{"::FFFFFFFF", ""},
        IPv6Case{std::string(100000, ':'), ""}, IPv6Case{std::string(100000, '1') + "::", ""},
        IPv6Case{"::" + std::string(100000, '.'), ""}));

TEST(ParseIPv6TextTest, ReadsEightGroups) {
    EXPECT_EQ(ParseIPv6Text("::ffff:1.2.3.4"), (TIdIPv6Address{0, 0, 0, 0, 0, 0xFFFF, 0x0102, 0x0304}));
    EXPECT_EQ(ParseIPv6Text("fe80::1:2"), (TIdIPv6Address{0xFE80, 0, 0, 0, 0, 0, 1, 2}));
    EXPECT_EQ(ParseIPv6Text("FFFF:ffff::"), (TIdIPv6Address{0xFFFF, 0xFFFF, 0, 0, 0, 0, 0, 0}));
}

TEST(ParseIPv6TextTest, RejectsWithTheTextInTheMessage) {
    for (const std::string& text : {"12345::1"s, "1:2:3"s, "%s%n::1"s}) {
        try {
            ParseIPv6Text(text);
            ADD_FAILURE() << text << " accepted";
        } catch (const EIdInvalidIPv6Address& e) {
            EXPECT_EQ(e.Message(), text + " is not a valid IPv6 address");
        }
    }
}

// Random texts over the address alphabet: every accepted text must come out
// as hex groups that ParseIPv6Text reads back without raising, and nothing
// may read outside the text (checked under ASan).
TEST(ParseIPv6TextTest, RandomTextsAreHandledSafely) {
    const std::string alphabet = "::::....0123456789abcdefABCDEFg% ";
    std::mt19937 rng(20240611);
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        const size_t length = rng() % 24;
        std::string text;
        for (size_t i = 0; i < length; ++i) {
            text += alphabet[rng() % alphabet.size()];
        }
        const std::string canonical = CanonicalIPv6Text(text);
        if (canonical.empty()) {
            EXPECT_THROW(ParseIPv6Text(text), EIdInvalidIPv6Address) << text;
            continue;
        }
        ++accepted;
        EXPECT_EQ(canonical.find_first_not_of("0123456789abcdef:."), std::string::npos) << text;
        EXPECT_EQ(CanonicalIPv6Text(canonical), canonical) << text;
        EXPECT_NO_THROW(ParseIPv6Text(text)) << text;
    }
    EXPECT_GT(accepted, 0);
}

// --- Clock ---------------------------------------------------------------------

TEST(ClockTest, TickDiffSurvivesTheWrap) {
    EXPECT_EQ(TickDiff(0xFFFFFFF0u, 0x10u), 0x20u);
    EXPECT_EQ(TickDiff(100, 100), 0u);
}

TEST(ClockTest, SleepLastsAtLeastTheAskedTime) {
    const uint32_t start = TickCountMs();
    SleepMs(30);
    EXPECT_GE(TickDiff(start, TickCountMs()), 30u);
}

// --- String list and message formatting -------------------------------------------

TEST(StringsTest, SplitsAtEveryLineBreakKind) {
    TStrings list;
    list.SetText("a\r\nb\nc\rd\r\n\r\ne");
    EXPECT_EQ(list.Lines(), (std::vector<std::string>{"a", "b", "c", "d", "", "e"}));
    list.SetText("x\n\n");
    EXPECT_EQ(list.Lines(), (std::vector<std::string>{"x", ""}));
    list.SetText("");
    EXPECT_TRUE(list.Empty());
    list.SetText("\n\r");
    EXPECT_EQ(list.Lines(), (std::vector<std::string>{"", ""}));
}

TEST(StringsTest, EditsAndJoinsWithCrLf) {
    TStrings list;
    list.Add("b");
    list.Insert(0, "a");
    list.Insert(2, "c");
    list.Add("b");
    EXPECT_EQ(list.Text(), "a\r\nb\r\nc\r\nb\r\n");
    EXPECT_EQ(list.IndexOf("b"), 1);
    EXPECT_EQ(list.IndexOf("B"), -1);
    list.Delete(1);
    list[0] = "z";
    EXPECT_EQ(list.Text(), "z\r\nc\r\nb\r\n");
}

TEST(StringsTest, RejectsIndexesOutsideTheList) {
    TStrings list;
    list.Add("only");
    const TStrings& view = list;
    try {
        (void)view[1];
        ADD_FAILURE() << "index 1 accepted";
    } catch (const EIdRangeException& e) {
        EXPECT_STREQ(e.what(), "List index out of bounds (1)");
    }
    EXPECT_THROW(list[-1], EIdRangeException);
    EXPECT_THROW(list.Insert(2, "x"), EIdRangeException);
    EXPECT_THROW(list.Delete(1), EIdRangeException);
    EXPECT_EQ(list.Count(), 1);
}

TEST(FormatTextTest, FormatsAnyLength) {
    EXPECT_EQ(FormatText("%s is not a valid IPv6 address", "x::y"), "x::y is not a valid IPv6 address");
    EXPECT_EQ(FormatText("(%d/%d)", 10, 4), "(10/4)");
    EXPECT_EQ(FormatText("%s", ""), "");
    const std::string longText(5000, 'q');
    EXPECT_EQ(FormatText("<%s>", longText.c_str()), "<" + longText + ">");
}

}  // namespace

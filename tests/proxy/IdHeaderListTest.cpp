// Tests of TIdHeaderList: a table of header blocks and lookups, the name and
// separator settings, and a sweep over short hostile lines.
#include <gtest/gtest.h>

#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

#include "proxy/IdHeaderList.h"

namespace {

TIdHeaderList MakeList(std::initializer_list<const char*> lines) {
    TIdHeaderList list;
    for (const char* line : lines) {
        list.Add(line);
    }
    return list;
}

struct LookupCase {
    const char* name;
    std::vector<std::string> lines;
    const char* lookup;
    const char* value;
};

void PrintTo(const LookupCase& c, std::ostream* os) {
    *os << c.name;
}

class HeaderLookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(HeaderLookup, ValueOf) {
    const LookupCase& c = GetParam();
    TIdHeaderList list;
    for (const std::string& line : c.lines) {
        list.Add(line);
    }
    EXPECT_EQ(list.ValueOf(c.lookup), c.value);
}

const LookupCase kLookupCases[] = {
    {"BlanksAroundValue", {"Content-Type: text/html", "content-length:  42 "}, "Content-Length",
     "42"},
    {"TabContinuation", {"X-Long: a", "\tb"}, "X-Long", "a b"},
    {"SeveralContinuations", {"X-Long: a ", "   b  ", "\tc", "Next: d"}, "X-Long", "a b c"},
    {"BlankContinuationKeepsOneSpace", {"X: a", " \t", " c"}, "X", "a c"},
    {"EmptyLineEndsJoining", {"X: a", "", " b"}, "X", "a"},
    {"ContinuationOfEmptyValue", {"X:", "\tb"}, "X", "b"},
    {"ContinuationBelongsToPrevious", {"A: 1", " 2", "B: 3"}, "B", "3"},
    {"IndentedHeaderIsContinuation", {"A: 1", " B: 2"}, "A", "1 B: 2"},
    {"IndentedHeaderNotFound", {"A: 1", " B: 2"}, "B", ""},
    {"DuplicateFirstWins", {"Via: one", "Via: two"}, "Via", "one"},
    {"StrayLineIgnored", {"stray", "Host: example"}, "Host", "example"},
    {"StrayLineNotFound", {"stray", "Host: example"}, "stray", ""},
    {"EmptyNameFindsNoStrayLine", {"stray"}, "", ""},
    {"EmptyList", {}, "Host", ""},
    {"CaseInsensitive", {"PROXY-AUTHORIZATION: Basic dTpw"}, "proxy-authorization", "Basic dTpw"},
    {"BlankBeforeColonIsName", {"Host : x"}, "Host", ""},
    {"BlankBeforeColonMatched", {"Host : x"}, "host ", "x"},
    {"NoBlankAfterColon", {"Host:x"}, "Host", "x"},
    {"ColonInValue", {"Host: origin1:8080"}, "Host", "origin1:8080"},
    {"LongerNameNotPrefixMatch", {"Content-Length-X: 5", "Content-Length: 7"}, "Content-Length",
     "7"},
    {"EmptyValue", {"X-Empty:"}, "X-Empty", ""},
};

INSTANTIATE_TEST_SUITE_P(Blocks, HeaderLookup, ::testing::ValuesIn(kLookupCases),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(HeaderList, Defaults) {
    TIdHeaderList list;
    EXPECT_EQ(list.PairSeparator(), ": ");
    EXPECT_FALSE(list.MatchCase());
    EXPECT_TRUE(list.JoinContinuations());
    EXPECT_TRUE(list.FoldLines());
    EXPECT_EQ(list.FoldLength(), 78);
}

TEST(HeaderList, LineNameFollowsMatchCase) {
    TIdHeaderList list = MakeList({"Host: example", "stray", "Host : x"});
    EXPECT_EQ(list.LineName(0), "HOST");
    EXPECT_EQ(list.LineName(1), "");
    EXPECT_EQ(list.LineName(2), "HOST ");
    list.SetMatchCase(true);
    EXPECT_EQ(list.LineName(0), "Host");
    // MatchCase only changes how names are returned, not how they are found.
    EXPECT_EQ(list.ValueOf("HOST"), "example");
}

TEST(HeaderList, IndexesOutsideTheListGiveEmptyText) {
    TIdHeaderList list = MakeList({"Host: example"});
    for (int index : {-1, 1, 1000}) {
        EXPECT_EQ(list.LineName(index), "");
        EXPECT_EQ(list.LineValue(index), "");
    }
    EXPECT_EQ(list.FindName("Host"), 0);
    EXPECT_EQ(list.FindName("Via"), -1);
}

TEST(HeaderList, ShortLinesDoNotOverrun) {
    TIdHeaderList list = MakeList({"", ":", "x", "A:"});
    EXPECT_EQ(list.LineValue(0), "");
    EXPECT_EQ(list.LineValue(1), "");
    EXPECT_EQ(list.LineValue(2), "");
    EXPECT_EQ(list.LineValue(3), "");
    EXPECT_EQ(list.FindName(""), 1);
}

TEST(HeaderList, JoinContinuationsOff) {
    TIdHeaderList list = MakeList({"X-Long: a", "\tb"});
    list.SetJoinContinuations(false);
    EXPECT_EQ(list.ValueOf("X-Long"), "a");
}

TEST(HeaderList, SeparatorTrailingBlanksIgnored) {
    TIdHeaderList list = MakeList({"Host:x", "Via : y"});
    list.SetPairSeparator(":");
    EXPECT_EQ(list.ValueOf("Host"), "x");
    list.SetPairSeparator(" : \t");
    EXPECT_EQ(list.FindName("Via"), 1);
    EXPECT_EQ(list.FindName("Host"), -1);
    list.SetPairSeparator("  ");
    EXPECT_EQ(list.FindName("Host"), -1);
    EXPECT_EQ(list.LineName(0), "");
}

// Names are taken from the upper-cased line unless MatchCase, so a letter in
// the separator matches either case of that letter only then.
TEST(HeaderList, LetterSeparatorSearchedInUpperCase) {
    TIdHeaderList list = MakeList({"axb", "AXb"});
    list.SetPairSeparator("X");
    EXPECT_EQ(list.LineName(0), "A");
    EXPECT_EQ(list.ValueOf("a"), "b");
    list.SetMatchCase(true);
    EXPECT_EQ(list.LineName(0), "");
    EXPECT_EQ(list.FindName("a"), 1);
    list.SetMatchCase(false);
    list.SetPairSeparator("x");
    EXPECT_EQ(list.FindName("a"), -1);
}

// Every list of two lines up to three characters from the parser's
// delimiters must be read without faults (run under ASan/UBSan), and the name
// of a line must lead back to that line or an earlier one of the same name.
TEST(HeaderList, ShortHostileLinesStayConsistent) {
    const std::string alphabet = ": \ta";
    std::vector<std::string> lines{""};
    for (std::size_t begin = 0, length = 1; length <= 3; ++length) {
        const std::size_t end = lines.size();
        for (std::size_t i = begin; i < end; ++i) {
            for (char c : alphabet) {
                lines.push_back(lines[i] + c);
            }
        }
        begin = end;
    }
    for (const std::string& first : lines) {
        for (const std::string& second : lines) {
            SCOPED_TRACE("[" + first + "][" + second + "]");
            TIdHeaderList list;
            list.Add(first);
            list.Add(second);
            for (int i = 0; i < 2; ++i) {
                const std::string name = list.LineName(i);
                ASSERT_NO_THROW(list.LineValue(i));
                if (list[i].find(':') != std::string::npos) {
                    const int found = list.FindName(name);
                    ASSERT_GE(found, 0);
                    EXPECT_LE(found, i);
                    EXPECT_EQ(list.ValueOf(name), list.LineValue(found));
                }
            }
        }
    }
}

}  // namespace

// A value continued over a long run of lines (the header block allows up to
// a thousand) is joined piece by piece: blank-only lines add nothing, every
// other line adds one blank and its trimmed text. The join once re-trimmed
// the whole value per line, quadratic in the block (seen while fuzzing).
TEST(HeaderList, LongContinuationRunJoinsEveryPiece) {
    TIdHeaderList list;
    list.Add("X-Long:  \t a  ");
    std::string expected = "a";
    for (int i = 0; i < 999; ++i) {
        if (i % 3 == 0) {
            list.Add(" \t ");
        } else {
            list.Add("\t  piece" + std::to_string(i) + " \t");
            expected += " piece" + std::to_string(i);
        }
    }
    list.Add("Next: z");
    EXPECT_EQ(list.ValueOf("X-Long"), expected);
    EXPECT_EQ(list.LineValue(1), "piece1 piece2 piece4 piece5" + expected.substr(expected.find(" piece7")));
    EXPECT_EQ(list.ValueOf("Next"), "z");
}

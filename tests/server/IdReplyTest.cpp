// Tests of the numeric replies: wire form, default texts from the reply-text
// table, code validation, duplicate codes within a table, and copying.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/IdException.h"
#include "server/IdReply.h"
#include "server/IdReplyRFC.h"

namespace {

using Lines = std::vector<std::string>;

TStrings MakeStrings(const Lines& lines) {
    TStrings result;
    for (const std::string& line : lines) {
        result.Add(line);
    }
    return result;
}

class ReplyTest : public ::testing::Test {
protected:
    TIdRepliesRFC table_;
    TIdReplyRFC reply_{&table_};

    void AddEntry(const std::string& code, const std::string& text) {
        table_.Add().SetCodeAndText(code, text);
    }

    // Runs action, which must raise EIdException with message, and checks
    // that the reply kept its code and text.
    template <typename Action>
    void ExpectRejected(TIdReply& reply, Action action, const std::string& message) {
        const std::string codeBefore = reply.Code();
        const Lines textBefore = reply.Text().Lines();
        try {
            action();
            FAIL() << "expected: " << message;
        } catch (const EIdException& e) {
            EXPECT_EQ(message, e.Message());
        }
        EXPECT_EQ(codeBefore, reply.Code());
        EXPECT_EQ(textBefore, reply.Text().Lines());
    }
};

struct WireCase {
    const char* name;
    std::string code;
    Lines text;
    std::vector<std::pair<std::string, std::string>> entries;
    Lines expected;
};

class ReplyWireTest : public ReplyTest, public ::testing::WithParamInterface<WireCase> {};

TEST_P(ReplyWireTest, FillsDefaultTextAndFormats) {
    const WireCase& c = GetParam();
    for (const auto& [code, text] : c.entries) {
        AddEntry(code, text);
    }
    reply_.SetCode(c.code);
    reply_.SetText(MakeStrings(c.text));
    reply_.FillDefaultText();
    EXPECT_EQ(c.expected, reply_.FormattedLines().Lines());

    TStrings copy;
    reply_.FormatTo(copy);
    EXPECT_EQ(c.expected, copy.Lines());
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyWireTest,
    ::testing::Values(
        WireCase{"OkDefault", "200", {}, {}, {"200 Ok"}},
        WireCase{"UnknownCommandWithLine", "400", {"Unknown Command", "GETX /"}, {}, {"400-Unknown Command", "400 GETX /"}},
        WireCase{"HundredDefault", "250", {}, {}, {"250 Ok"}},
        WireCase{"ExactEntryFirst", "250", {}, {{"200", "Fine"}, {"250", "Queued"}}, {"250 Queued"}},
        WireCase{"HundredEntry", "250", {}, {{"200", "Fine"}}, {"250 Fine"}},
        WireCase{"MultiLineEntry", "251", {}, {{"200", "one\r\ntwo"}}, {"251-one", "251 two"}},
        WireCase{"OtherCodeEntryIgnored", "250", {}, {{"300", "Later"}}, {"250 Ok"}},
        WireCase{"OwnTextKept", "200", {"Custom"}, {{"200", "Fine"}}, {"200 Custom"}},
        WireCase{"Information", "199", {}, {}, {"199 Information"}},
        WireCase{"TemporaryError", "300", {}, {}, {"300 Temporary Error"}},
        WireCase{"PermanentError", "404", {}, {}, {"404 Permanent Error"}},
        WireCase{"InternalError", "500", {}, {}, {"500 Unknown Internal Error"}},
        WireCase{"NoDefaultAbove500", "600", {}, {}, {"600"}},
        WireCase{"LeadingZeroSentAsNumber", "0200", {}, {}, {"200 Ok"}},
        WireCase{"TextWithoutCode", "", {"first", "second"}, {}, {"first", "second"}},
        WireCase{"Nothing", "", {}, {}, {}}),
    [](const ::testing::TestParamInfo<WireCase>& param) { return std::string(param.param.name); });

TEST_F(ReplyTest, UnboundReplyGetsNoDefaultText) {
    TIdReplyRFC unbound;
    unbound.SetCode("200");
    unbound.FillDefaultText();
    EXPECT_EQ(Lines{"200"}, unbound.FormattedLines().Lines());
}

class ReplyInvalidCodeTest : public ReplyTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(ReplyInvalidCodeTest, RaisesAndKeepsReply) {
    reply_.SetCodeAndText("300", "kept");
    ExpectRejected(
        reply_, [&] { reply_.SetCode(GetParam()); }, "Reply Code is not valid: " + GetParam());
}

INSTANTIATE_TEST_SUITE_P(Replies, ReplyInvalidCodeTest,
                         ::testing::Values("99", "1000", "abc", "0", "-200", "$100", " 200", "20x"));

class ReplyValidCodeTest : public ReplyTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(ReplyValidCodeTest, AcceptedAndClearsText) {
    reply_.SetCodeAndText("300", "old");
    reply_.SetCode(GetParam());
    EXPECT_EQ(GetParam(), reply_.Code());
    EXPECT_TRUE(reply_.Text().Empty());
}

INSTANTIATE_TEST_SUITE_P(Replies, ReplyValidCodeTest,
                         ::testing::Values("", " ", "100", "999", "0250"));

TEST_F(ReplyTest, SameCodeKeepsTextOtherCodeClearsIt) {
    reply_.SetCodeAndText("200", "first\r\nsecond");
    reply_.SetCode("200");
    EXPECT_EQ((Lines{"first", "second"}), reply_.Text().Lines());
    reply_.SetNumericCode(201);
    EXPECT_EQ("201", reply_.Code());
    EXPECT_TRUE(reply_.Text().Empty());
}

TEST_F(ReplyTest, DuplicateCodeInTableRaises) {
    AddEntry("200", "Fine");
    TIdReply& second = table_.Add();
    second.SetCodeAndText("300", "Later");
    ExpectRejected(second, [&] { second.SetCode("200"); }, "Reply already exists for 200");
    // A reply merely bound to the table is no entry and may share a code.
    reply_.SetCode("200");
    EXPECT_EQ("200", reply_.Code());
    EXPECT_EQ(&table_, second.ReplyTexts());
    EXPECT_EQ(&table_, second.Collection());
    EXPECT_EQ(nullptr, reply_.Collection());
}

TEST_F(ReplyTest, FindByCodeSkipsReplyAndEmptyCode) {
    TIdReply& first = table_.Add();
    first.SetCode("");
    AddEntry("250", "a");
    EXPECT_EQ(nullptr, table_.FindByCode(""));
    EXPECT_EQ(&table_.Items(1), table_.FindByCode("250"));
    EXPECT_EQ(nullptr, table_.FindByCode("250", &table_.Items(1)));
    EXPECT_EQ(nullptr, table_.FindByCode("0250"));
    EXPECT_THROW(table_.Items(2), EIdRangeException);
}

TEST_F(ReplyTest, CopyOfCodelessReplyRaisesAndLeavesDestination) {
    TIdReplyRFC source;
    source.Text().Add("text only");
    reply_.SetCodeAndText("250", "unchanged");
    ExpectRejected(reply_, [&] { reply_.Assign(source); }, "Reply Code is not valid: 0");
}

TEST_F(ReplyTest, CopyUsesNumericCodeAndText) {
    TIdReplyRFC source;
    source.SetCodeAndText("0200", "a\nb");
    reply_.SetCodeAndText("500", "old");
    reply_.Assign(source);
    EXPECT_EQ("200", reply_.Code());
    EXPECT_EQ((Lines{"a", "b"}), reply_.Text().Lines());
    EXPECT_EQ(&table_, reply_.ReplyTexts());
    reply_.Assign(reply_);
    EXPECT_EQ((Lines{"a", "b"}), reply_.Text().Lines());
}

struct ContentCase {
    std::string code;
    Lines text;
    bool hasContent;
};

class ReplyContentTest : public ReplyTest, public ::testing::WithParamInterface<ContentCase> {};

TEST_P(ReplyContentTest, HasContent) {
    reply_.SetCode(GetParam().code);
    reply_.SetText(MakeStrings(GetParam().text));
    EXPECT_EQ(GetParam().hasContent, reply_.HasContent());
}

INSTANTIATE_TEST_SUITE_P(Replies, ReplyContentTest,
                         ::testing::Values(ContentCase{"", {}, false}, ContentCase{" ", {}, false},
                                           ContentCase{"100", {}, true},
                                           ContentCase{"", {"x"}, true}));

TEST_F(ReplyTest, ParsesWireFormAndDetectsLastLine) {
    reply_.ParseFormattedLines(MakeStrings({"250-First", "250 Last", "250"}));
    EXPECT_EQ("250", reply_.Code());
    EXPECT_EQ((Lines{"First", "Last", ""}), reply_.Text().Lines());
    EXPECT_FALSE(reply_.IsLastLine("250-First"));
    EXPECT_TRUE(reply_.IsLastLine("250 Last"));
    EXPECT_TRUE(reply_.IsLastLine("250"));

    reply_.ParseFormattedLines(TStrings());
    EXPECT_FALSE(reply_.HasContent());
}

TEST_F(ReplyTest, RaisesCodeAndTextAsError) {
    reply_.SetFromNumberAndText(421, "Closing\r\nBye");
    try {
        reply_.RaiseAsError();
    } catch (const EIdReplyRFCError& e) {
        EXPECT_EQ(421, e.ErrorCode());
        EXPECT_EQ("Closing\r\nBye\r\n", e.Message());
        return;
    }
    FAIL() << "no EIdReplyRFCError";
}

}  // namespace

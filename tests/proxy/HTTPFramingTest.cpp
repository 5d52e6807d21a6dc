// Tests of the forwarding path's decisions without sockets: the one length
// parser, where request and response bodies end, the origin's request head
// and the interim answer a waiting client gets.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "proxy/HTTPFraming.h"
#include "tests/proxy/ProxyTestSupport.h"

namespace {

TIdHeaderList Headers(const std::vector<std::string>& lines) {
    TIdHeaderList list;
    for (const std::string& line : lines) {
        list.Add(line);
    }
    return list;
}

struct LengthCase {
    const char* text;
    bool valid;
    int64_t length;
};

void PrintTo(const LengthCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class ContentLengthParse : public ::testing::TestWithParam<LengthCase> {};

TEST_P(ContentLengthParse, AcceptsOnlyPlainDigits) {
    int64_t length = -7;
    EXPECT_EQ(ParseContentLength(GetParam().text, length), GetParam().valid);
    EXPECT_EQ(length, GetParam().valid ? GetParam().length : -7);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ContentLengthParse,
    ::testing::Values(LengthCase{"0", true, 0}, LengthCase{" 42 ", true, 42}, LengthCase{"\t7", true, 7},
                      LengthCase{"007", true, 7}, LengthCase{"4294967296", true, 4294967296},
                      LengthCase{"9223372036854775807", true, INT64_MAX},
                      LengthCase{"9223372036854775808", false, 0}, LengthCase{"99999999999999999999", false, 0},
                      LengthCase{"", false, 0}, LengthCase{"  ", false, 0}, LengthCase{"+5", false, 0},
                      LengthCase{"-1", false, 0}, LengthCase{"0x10", false, 0}, LengthCase{"$10", false, 0},
                      LengthCase{"1 0", false, 0}, LengthCase{"5, 5", false, 0}, LengthCase{"1e3", false, 0}));

struct SyntaxCase {
    const char* name;
    std::string requestLine;
    std::vector<std::string> headers;
    bool wellFormed;
};

void PrintTo(const SyntaxCase& c, std::ostream* os) { *os << c.name; }

class RequestSyntaxTable : public ::testing::TestWithParam<SyntaxCase> {};

TEST_P(RequestSyntaxTable, Decides) {
    EXPECT_EQ(IsWellFormedRequest(GetParam().requestLine, Headers(GetParam().headers)), GetParam().wellFormed);
}

const std::string kLine = "GET http://h/ HTTP/1.1";
using namespace std::string_literals;

const SyntaxCase kSyntaxCases[] = {
    {"Plain", kLine, {"Host: h", "X-Empty:", "Accept:   */*  ", "X-Tab: a\tb"}, true},
    {"TokenPunctuationInName", kLine, {"X-A!#$%&'*+-.^_`|~1: v"}, true},
    {"HighBytesInTarget", "GET http://h/\xC3\xA9 HTTP/1.1", {}, true},
    {"TabInTarget", "GET http://h/a\tb HTTP/1.1", {}, false},
    {"EscapeInTarget", "GET http://\x1bh/ HTTP/1.1", {}, false},
    {"DeleteInTarget", "GET http://h/\x7f HTTP/1.1", {}, false},
    {"NulInTarget", "GET http://h/\0 HTTP/1.1"s, {}, false},
    {"BlankBeforeColon", kLine, {"Content-Length : 0", "Content-Length: 5"}, false},
    {"TabBeforeColon", kLine, {"Content-Length\t: 0"}, false},
    {"BlankInName", kLine, {"X A: v"}, false},
    {"SeparatorInName", kLine, {"X(A): v"}, false},
    {"NoColon", kLine, {"Host: h", "stray line"}, false},
    {"EmptyName", kLine, {": value"}, false},
    {"FoldedWithBlank", kLine, {"X-A: a", " continued"}, false},
    {"FoldedWithTab", kLine, {"X-A: a", "\tcontinued"}, false},
    {"NulInValue", kLine, {"X-A: a\0b"s}, false},
    {"CrInValue", kLine, {"X-A: a\rX-Injected: 1"}, false},
};

INSTANTIATE_TEST_SUITE_P(Table, RequestSyntaxTable, ::testing::ValuesIn(kSyntaxCases), proxytest::CaseName());

struct RequestCase {
    const char* name;
    std::vector<std::string> headers;
    TRequestFraming::TVerdict verdict;
    int64_t bodyLength;
};

void PrintTo(const RequestCase& c, std::ostream* os) { *os << c.name; }

class RequestFramingTable : public ::testing::TestWithParam<RequestCase> {};

TEST_P(RequestFramingTable, Decides) {
    const RequestCase& c = GetParam();
    const TRequestFraming framing = FrameRequest(Headers(c.headers));
    EXPECT_EQ(framing.verdict, c.verdict);
    EXPECT_EQ(framing.bodyLength, c.bodyLength);
}

const RequestCase kRequestCases[] = {
    {"WithoutLength", {"Host: h"}, TRequestFraming::Forward, 0},
    {"Length", {"content-length: 12"}, TRequestFraming::Forward, 12},
    {"Beyond32Bits", {"Content-Length: 5000000000"}, TRequestFraming::Forward, 5000000000},
    {"EqualDuplicates", {"Content-Length: 3", "Content-Length: 3"}, TRequestFraming::Forward, 3},
    {"DifferentDuplicates", {"Content-Length: 3", "Content-Length: 4"},
     TRequestFraming::BadRequest, 0},
    {"HexLength", {"Content-Length: 0x10"}, TRequestFraming::BadRequest, 0},
    {"Chunked", {"Transfer-Encoding: chunked"}, TRequestFraming::LengthRequired, 0},
    {"ChunkedAndLength", {"Content-Length: 3", "Transfer-Encoding: chunked"},
     TRequestFraming::BadRequest, 0},
};

INSTANTIATE_TEST_SUITE_P(Table, RequestFramingTable, ::testing::ValuesIn(kRequestCases),
                         proxytest::CaseName());

struct ResponseCase {
    const char* name;
    THTTPMethod method;
    std::vector<std::string> headers;
    int64_t length;
};

void PrintTo(const ResponseCase& c, std::ostream* os) { *os << c.name; }

class ResponseFramingTable : public ::testing::TestWithParam<ResponseCase> {};

TEST_P(ResponseFramingTable, Decides) {
    EXPECT_EQ(FrameResponse(GetParam().method, Headers(GetParam().headers)), GetParam().length);
}

const ResponseCase kResponseCases[] = {
    {"Length", THTTPMethod::Get, {"HTTP/1.0 200 OK", "Content-Length: 10"}, 10},
    {"LengthBeyond32Bits", THTTPMethod::Get, {"HTTP/1.0 200 OK", "Content-Length: 2684354560"}, 2684354560},
    {"NoLength", THTTPMethod::Get, {"HTTP/1.0 200 OK"}, -1},
    {"SignedLength", THTTPMethod::Get, {"HTTP/1.0 200 OK", "Content-Length: +5"}, -1},
    {"HexLength", THTTPMethod::Post, {"HTTP/1.0 200 OK", "Content-Length: 0x10"}, -1},
    {"ConflictingLengths", THTTPMethod::Get, {"HTTP/1.1 200 OK", "Content-Length: 5", "Content-Length: 6"}, -1},
    {"EqualLengths", THTTPMethod::Get, {"HTTP/1.1 200 OK", "Content-Length: 5", "Content-Length: 5"}, 5},
    {"TransferEncodingWins", THTTPMethod::Get, {"HTTP/1.1 200 OK", "Content-Length: 5", "Transfer-Encoding: chunked"},
     -1},
    {"Head", THTTPMethod::Head, {"HTTP/1.0 200 OK", "Content-Length: 10"}, 0},
    {"NoContent", THTTPMethod::Get, {"HTTP/1.1 204 No Content"}, 0},
    {"NotModified", THTTPMethod::Get, {"HTTP/1.1 304 Not Modified", "Content-Length: 99"}, 0},
    {"StatusLineWithoutCode", THTTPMethod::Get, {"garbage"}, -1},
};

INSTANTIATE_TEST_SUITE_P(Table, ResponseFramingTable, ::testing::ValuesIn(kResponseCases),
                         proxytest::CaseName());

TEST(OriginRequestHeadTest, HeadersPassUnchangedButTheProxyCredentials) {
    const TIdHeaderList headers =
        Headers({"Host: example", "Proxy-Authorization: Basic abc", "\tcontinued", "X-Odd:  kept  as is"});
    EXPECT_EQ(OriginRequestHead(THTTPMethod::Post, "/p?q", headers, true).Lines(),
              (std::vector<std::string>{"POST /p?q HTTP/1.0", "Host: example", "X-Odd:  kept  as is", ""}));
    // Without authentication the header is the client's business.
    EXPECT_EQ(OriginRequestHead(THTTPMethod::Head, "/", headers, false).Lines(),
              (std::vector<std::string>{"HEAD / HTTP/1.0", "Host: example", "Proxy-Authorization: Basic abc",
                                        "\tcontinued", "X-Odd:  kept  as is", ""}));
}

TEST(ExpectsContinueTest, OnlyHttp11ClientsThatAskForIt) {
    const TIdHeaderList asks = Headers({"Host: h", "expect:  100-Continue "});
    EXPECT_TRUE(ExpectsContinue("HTTP/1.1", asks));
    EXPECT_FALSE(ExpectsContinue("HTTP/1.0", asks));
    EXPECT_FALSE(ExpectsContinue("", asks));
    EXPECT_FALSE(ExpectsContinue("HTTP/1.1", Headers({"Expect: something-else"})));
    EXPECT_FALSE(ExpectsContinue("HTTP/1.1", Headers({"Host: h"})));
}

}  // namespace

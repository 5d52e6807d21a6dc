// Tests of the forwarding path's decisions without sockets: the one length
// parser, request lines and targets, which request heads are refused and
// where their bodies end, the origin's request head, which answer heads are
// valid, what the client is sent of them, and the interim answer a waiting
// client gets.
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
                      LengthCase{"1 0", false, 0}, LengthCase{"5, 5", false, 0}, LengthCase{"1e3", false, 0},
                      LengthCase{"\x0c" "67", false, 0}, LengthCase{"67\x0b", false, 0},
                      LengthCase{"67\r", false, 0}));

using namespace std::string_literals;

struct LineCase {
    std::string line;
    bool valid;
    TRequestLine parsed;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << '"' << vtltest::EscapedBytes(c.line) << '"'; }

class RequestLineParse : public ::testing::TestWithParam<LineCase> {};

TEST_P(RequestLineParse, SplitsOnceOrRefuses) {
    TRequestLine parsed;
    ASSERT_EQ(ParseRequestLine(GetParam().line, parsed), GetParam().valid);
    if (GetParam().valid) {
        EXPECT_EQ(parsed.method, GetParam().parsed.method);
        EXPECT_EQ(parsed.target, GetParam().parsed.target);
        EXPECT_EQ(parsed.version, GetParam().parsed.version);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RequestLineParse,
    ::testing::Values(LineCase{"GET http://h/ HTTP/1.1", true, {"GET", "http://h/", "HTTP/1.1"}},
                      LineCase{"get http://h/", true, {"GET", "http://h/", ""}},
                      LineCase{"PROPFIND http://h/d HTTP/1.0", true, {"PROPFIND", "http://h/d", "HTTP/1.0"}},
                      LineCase{"propfind http://h/d HTTP/1.0", true, {"propfind", "http://h/d", "HTTP/1.0"}},
                      LineCase{"GET", true, {"GET", "", ""}},
                      LineCase{"GET http://h/\xC3\xA9 HTTP/1.1", true, {"GET", "http://h/\xC3\xA9", "HTTP/1.1"}},
                      LineCase{"Host: example.test", false, {}}, LineCase{"GET http://h/ HTTP/1.1 x", false, {}},
                      LineCase{"GET http://h/ HTTX/1.1", false, {}}, LineCase{"GET http://h/a\tb HTTP/1.1", false, {}},
                      LineCase{"GET http://\x1bh/ HTTP/1.1", false, {}}, LineCase{"GET http://h/\0 HTTP/1.1"s, false, {}},
                      LineCase{"G(T http://h/ HTTP/1.1", false, {}}));

struct TargetCase {
    const char* target;
    bool usable;
    TForwardTarget parsed;
};

void PrintTo(const TargetCase& c, std::ostream* os) { *os << '"' << c.target << '"'; }

class ForwardTargetParse : public ::testing::TestWithParam<TargetCase> {};

TEST_P(ForwardTargetParse, TakesAbsoluteHttpTargetsOnly) {
    TForwardTarget parsed;
    ASSERT_EQ(ParseForwardTarget(GetParam().target, parsed), GetParam().usable);
    if (GetParam().usable) {
        EXPECT_EQ(parsed.host, GetParam().parsed.host);
        EXPECT_EQ(parsed.port, GetParam().parsed.port);
        EXPECT_EQ(parsed.authority, GetParam().parsed.authority);
        EXPECT_EQ(parsed.path, GetParam().parsed.path);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ForwardTargetParse,
    ::testing::Values(TargetCase{"http://h.example/a/b?q=1#frag", true, {"h.example", 80, "h.example", "/a/b?q=1"}},
                      TargetCase{"HTTP://h:8080", true, {"h", 8080, "h:8080", "/"}},
                      TargetCase{"http://user:pw@h:81/x", true, {"h", 81, "h:81", "/x"}},
                      TargetCase{"http://h:/x", true, {"h", 80, "h", "/x"}},
                      TargetCase{"http://[::1]:81/", true, {"::1", 81, "[::1]:81", "/"}},
                      TargetCase{"*", false, {}}, TargetCase{"/only/a/path", false, {}},
                      TargetCase{"https://h/", false, {}}, TargetCase{"ftp://h/", false, {}},
                      TargetCase{"http:///x", false, {}}, TargetCase{"http://h:abc/", false, {}},
                      TargetCase{"http://h:0/", false, {}}, TargetCase{"http://h:65536/", false, {}},
                      TargetCase{"http://h?q/", false, {}}));

struct RequestCase {
    const char* name;
    std::vector<std::string> headers;
    int status;
    TBodyKind body;
    int64_t bodyLength;
};

void PrintTo(const RequestCase& c, std::ostream* os) { *os << c.name; }

class RequestFramingTable : public ::testing::TestWithParam<RequestCase> {};

TEST_P(RequestFramingTable, Decides) {
    const RequestCase& c = GetParam();
    const TRequestFraming framing = FrameRequest(Headers(c.headers));
    EXPECT_EQ(framing.refusal.status, c.status) << framing.refusal.reason;
    if (c.status == 0) {
        EXPECT_EQ(framing.body, c.body);
        EXPECT_EQ(framing.bodyLength, c.bodyLength);
    }
}

const RequestCase kRequestCases[] = {
    {"Plain", {"Host: h", "X-Empty:", "Accept:   */*  ", "X-Tab: a\tb"}, 0, TBodyKind::None, 0},
    {"TokenPunctuationInName", {"X-A!#$%&'*+-.^_`|~1: v"}, 0, TBodyKind::None, 0},
    {"Length", {"content-length: 12"}, 0, TBodyKind::Length, 12},
    {"LengthZero", {"Content-Length: 0"}, 0, TBodyKind::None, 0},
    {"Beyond32Bits", {"Content-Length: 5000000000"}, 0, TBodyKind::Length, 5000000000},
    {"EqualDuplicates", {"Content-Length: 3", "Content-Length: 3"}, 0, TBodyKind::Length, 3},
    {"Chunked", {"Transfer-Encoding:  Chunked "}, 0, TBodyKind::Chunked, 0},
    {"DifferentDuplicates", {"Content-Length: 3", "Content-Length: 4"}, 400, TBodyKind::None, 0},
    {"HexLength", {"Content-Length: 0x10"}, 400, TBodyKind::None, 0},
    {"ChunkedAndLength", {"Content-Length: 3", "Transfer-Encoding: chunked"}, 400, TBodyKind::None, 0},
    {"OtherCoding", {"Transfer-Encoding: gzip, chunked"}, 501, TBodyKind::None, 0},
    {"ChunkedTwice", {"Transfer-Encoding: chunked", "Transfer-Encoding: chunked"}, 501, TBodyKind::None, 0},
    {"TwoHosts", {"Host: a", "host: b"}, 400, TBodyKind::None, 0},
    {"BlankBeforeColon", {"Content-Length : 0", "Content-Length: 5"}, 400, TBodyKind::None, 0},
    {"BlankInName", {"X A: v"}, 400, TBodyKind::None, 0},
    {"SeparatorInName", {"X(A): v"}, 400, TBodyKind::None, 0},
    {"NoColon", {"Host: h", "stray line"}, 400, TBodyKind::None, 0},
    {"EmptyName", {": value"}, 400, TBodyKind::None, 0},
    {"Folded", {"X-A: a", "\tcontinued"}, 400, TBodyKind::None, 0},
    {"NulInValue", {"X-A: a\0b"s}, 400, TBodyKind::None, 0},
    {"CrInValue", {"X-A: a\rX-Injected: 1"}, 400, TBodyKind::None, 0},
    {"EscapeInValue", {"X-A: a\x1b[31m"}, 400, TBodyKind::None, 0},
};

INSTANTIATE_TEST_SUITE_P(Table, RequestFramingTable, ::testing::ValuesIn(kRequestCases), proxytest::CaseName());

TEST(OriginRequestHeadTest, HostIsTheTargetsAndHopByHopFieldsStayBehind) {
    TForwardTarget target;
    ASSERT_TRUE(ParseForwardTarget("http://user:pw@127.0.0.1:8080/p?q", target));
    const TIdHeaderList headers = Headers(
        {"User-Agent: t", "Host: other.example", "Connection: keep-alive, X-Drop, Content-Length", "X-Drop: 1",
         "Keep-Alive: 300", "Proxy-Connection: keep-alive", "TE: trailers", "Trailer: X-T", "Upgrade: h2c",
         "Expect: 100-continue", "Proxy-Authorization: Basic abc", "X-Odd:  kept  as is", "Content-Length: 4"});
    EXPECT_EQ(OriginRequestHead({"POST", "", "HTTP/1.1"}, target, headers, {true, -1, false, false, ""}).Lines(),
              (std::vector<std::string>{"POST /p?q HTTP/1.0", "User-Agent: t", "Host: 127.0.0.1:8080",
                                        "X-Odd:  kept  as is", "Content-Length: 4", ""}));
    // Without authentication the credentials are the client's business;
    // without a Host one is given, first.
    EXPECT_EQ(OriginRequestHead({"GET", "", ""}, target, Headers({"Proxy-Authorization: Basic abc"}), {}).Lines(),
              (std::vector<std::string>{"GET /p?q HTTP/1.0", "Host: 127.0.0.1:8080",
                                        "Proxy-Authorization: Basic abc", ""}));
    // To a parent: the absolute URI, and the proxy's own credentials in
    // place of the client's, whether or not there are any.
    EXPECT_EQ(OriginRequestHead({"GET", "", ""}, target, Headers({"Proxy-Authorization: Basic abc"}),
                                {false, -1, false, true, "Basic cDpx"})
                  .Lines(),
              (std::vector<std::string>{"GET http://127.0.0.1:8080/p?q HTTP/1.0", "Host: 127.0.0.1:8080",
                                        "Proxy-Authorization: Basic cDpx", ""}));
    EXPECT_EQ(OriginRequestHead({"GET", "", ""}, target, Headers({"Proxy-Authorization: Basic abc"}),
                                {false, -1, false, true, ""})
                  .Lines(),
              (std::vector<std::string>{"GET http://127.0.0.1:8080/p?q HTTP/1.0", "Host: 127.0.0.1:8080", ""}));
}

TEST(OriginRequestHeadTest, ChunkedBodiesAreFramedByTheProxy) {
    TForwardTarget target;
    ASSERT_TRUE(ParseForwardTarget("http://h/up", target));
    const TIdHeaderList headers = Headers({"Host: h", "Transfer-Encoding: chunked", "X-A: 1"});
    EXPECT_EQ(OriginRequestHead({"PUT", "", "HTTP/1.1"}, target, headers, {false, 10, false, false, ""}).Lines(),
              (std::vector<std::string>{"PUT /up HTTP/1.0", "Host: h", "Content-Length: 10", "X-A: 1", ""}));
    EXPECT_EQ(OriginRequestHead({"PUT", "", "HTTP/1.1"}, target, headers, {false, -1, true, false, ""}).Lines(),
              (std::vector<std::string>{"PUT /up HTTP/1.1", "Host: h", "Transfer-Encoding: chunked", "X-A: 1",
                                        "Connection: close", ""}));
}

TEST(OriginRequestHeadTest, OptionsCountsMaxForwardsDown) {
    TForwardTarget target;
    ASSERT_TRUE(ParseForwardTarget("http://h/", target));
    const TIdHeaderList three = Headers({"Max-Forwards: 3"});
    EXPECT_EQ(OriginRequestHead({"OPTIONS", "", ""}, target, three, {}).Lines()[2], "Max-Forwards: 2");
    EXPECT_EQ(OriginRequestHead({"GET", "", ""}, target, three, {}).Lines()[2], "Max-Forwards: 3");
    EXPECT_FALSE(AnswersOptionsItself({"OPTIONS", "", ""}, three));
    EXPECT_TRUE(AnswersOptionsItself({"OPTIONS", "", ""}, Headers({"Max-Forwards: 0"})));
    EXPECT_FALSE(AnswersOptionsItself({"GET", "", ""}, Headers({"Max-Forwards: 0"})));
}

struct ResponseCase {
    const char* name;
    const char* method;
    std::vector<std::string> headers;
    bool valid;
    int64_t length;
};

void PrintTo(const ResponseCase& c, std::ostream* os) { *os << c.name; }

class ResponseFramingTable : public ::testing::TestWithParam<ResponseCase> {};

TEST_P(ResponseFramingTable, Decides) {
    const TResponseFraming framing = FrameResponse(GetParam().method, Headers(GetParam().headers));
    EXPECT_EQ(framing.problem.empty(), GetParam().valid) << framing.problem;
    if (GetParam().valid) {
        EXPECT_EQ(framing.bodyLength, GetParam().length);
    }
}

const ResponseCase kResponseCases[] = {
    {"Length", "GET", {"HTTP/1.0 200 OK", "Content-Length: 10"}, true, 10},
    {"LengthBeyond32Bits", "GET", {"HTTP/1.0 200 OK", "Content-Length: 2684354560"}, true, 2684354560},
    {"NoLength", "GET", {"HTTP/1.0 200 OK"}, true, -1},
    {"NoReason", "GET", {"HTTP/1.1 200"}, true, -1},
    {"EqualLengths", "GET", {"HTTP/1.1 200 OK", "Content-Length: 5", "Content-Length: 5"}, true, 5},
    {"TransferEncodingWins", "GET", {"HTTP/1.1 200 OK", "Content-Length: 5", "Transfer-Encoding: chunked"}, true, -1},
    {"Head", "HEAD", {"HTTP/1.0 200 OK", "Content-Length: 10"}, true, 0},
    {"Interim", "GET", {"HTTP/1.1 103 Early Hints", "Link: </s.css>"}, true, 0},
    {"NoContent", "GET", {"HTTP/1.1 204 No Content"}, true, 0},
    {"NotModified", "GET", {"HTTP/1.1 304 Not Modified", "Content-Length: 99"}, true, 0},
    {"SignedLength", "GET", {"HTTP/1.0 200 OK", "Content-Length: +5"}, false, 0},
    {"LettersLength", "POST", {"HTTP/1.0 200 OK", "Content-Length: abc"}, false, 0},
    {"ConflictingLengths", "GET", {"HTTP/1.1 200 OK", "Content-Length: 5", "Content-Length: 6"}, false, 0},
    {"LetterInCode", "GET", {"HTTP/1.1 2OO OK"}, false, 0},
    {"TwoDigitCode", "GET", {"HTTP/1.1 20 OK"}, false, 0},
    {"OtherVersion", "GET", {"HTTP/2.0 200 OK"}, false, 0},
    {"NoStatusLine", "GET", {"<html>hello</html>"}, false, 0},
    {"Empty", "GET", {}, false, 0},
    {"BareCrInValue", "GET", {"HTTP/1.1 200 OK", "X-A: a\rSet-Cookie: injected=1"}, false, 0},
    {"NulInValue", "GET", {"HTTP/1.1 200 OK", "X-A: a\0b"s}, false, 0},
    {"NoColon", "GET", {"HTTP/1.1 200 OK", "not a header"}, false, 0},
    {"Folded", "GET", {"HTTP/1.1 200 OK", "X-A: a", " b"}, false, 0},
};

INSTANTIATE_TEST_SUITE_P(Table, ResponseFramingTable, ::testing::ValuesIn(kResponseCases), proxytest::CaseName());

TEST(ClientResponseHeadTest, DropsHopByHopFieldsAndSaysClose) {
    const TIdHeaderList headers =
        Headers({"HTTP/1.1 200 OK", "Connection: keep-alive, X-Hop", "Keep-Alive: timeout=5", "X-Hop: 1",
                 "Transfer-Encoding: chunked", "Content-Length: 5", "Set-Cookie: a=b", "Upgrade: h2"});
    EXPECT_EQ(ClientResponseHead(headers).Lines(),
              (std::vector<std::string>{"HTTP/1.1 200 OK", "Transfer-Encoding: chunked", "Set-Cookie: a=b",
                                        "Connection: close", ""}));
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

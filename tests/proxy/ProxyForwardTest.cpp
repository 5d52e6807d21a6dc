// Tests of forwarding through a running proxy: the exact bytes that reach
// the origin and the client, body framing, the document event, refused
// request bodies, the answers to failures, timeouts, and that a connection
// carries one request whatever its first line.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>

#include "base/IdException.h"
#include "io/IdStream.h"
#include "proxy/HTTPChunked.h"
#include "proxy/HTTPProxyServer.h"
#include "tests/proxy/ProxyTestSupport.h"

namespace proxytest {
namespace {

class Forwarding : public ProxyTest {
protected:
    void SetUp() override {
        RecordDocuments();
        StartProxy();
    }
};

// The Host line the proxy gives a request to that origin.
std::string HostOf(const TOriginServer& origin) {
    return "Host: 127.0.0.1:" + std::to_string(origin.Port()) + "\r\n";
}

// ------------------------------------------------------------------- GET

// The origin gets the site that was checked (Host from the target, in its
// place), no field meant for this hop, and every other line as it came.
TEST_F(Forwarding, OriginGetsPathQueryTheTargetsHostAndTheEndToEndLines) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 204 No Content\r\n\r\n"));
    const std::string headers =
        "User-Agent: test/1.0\r\n"
        "Accept:   */*  \r\n"
        "X-Empty:\r\n"
        "Cookie: a=b; c=d\r\n"
        "..X-Dots: kept\r\n";
    const std::string hopByHop =
        "Connection: keep-alive, X-Drop\r\nX-Drop: 1\r\nKeep-Alive: 300\r\nProxy-Connection: keep-alive\r\n"
        "TE: trailers\r\nTrailer: X-T\r\nUpgrade: h2c\r\n";
    RawClient client = Exchange("GET " + origin.Url("/dir/sub/doc.html?q=1&r=%20x#frag") + " HTTP/1.1\r\n" +
                                "Host: other.example\r\n" + headers + hopByHop + "\r\n");
    EXPECT_EQ(client.Received(), "HTTP/1.0 204 No Content\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(origin.Received(), "GET /dir/sub/doc.html?q=1&r=%20x HTTP/1.0\r\n" + HostOf(origin) + headers + "\r\n");
}

TEST_F(Forwarding, RootTargetWithoutPathAsksForSlash) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 204 No Content\r\n\r\n"));
    RawClient client = Exchange("GET " + origin.Url("") + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(client.Received(), "HTTP/1.0 204 No Content\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(origin.Received(), "GET / HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(origin.Port()) + "\r\n\r\n");
}

TEST_F(Forwarding, LineEndsBecomeCrLfBothWays) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\nServer: bare-lf\r\nContent-Length: 4\n\nA\nBC"));
    RawClient client = Exchange("GET " + origin.Url("/lf") + " HTTP/1.0\nX-Mixed: y\r\n\n");
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nServer: bare-lf\r\nContent-Length: 4\r\nConnection: close\r\n\r\nA\nBC");
    EXPECT_EQ(origin.Received(), "GET /lf HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(origin.Port()) +
                                     "\r\nX-Mixed: y\r\n\r\n");
}

TEST_F(Forwarding, BinaryBodyWithContentLengthArrivesWholeAndIsReported) {
    const std::string body = PatternBytes(300 * 1024 + 17, 1) + std::string("\r\n\0\r\n.\r\n", 8);
    const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n";
    TOriginServer origin(TOriginServer::Reply(head + body));
    const std::string target = "http://localhost:" + std::to_string(origin.Port()) + "/file.bin";
    RawClient client = Exchange("GET " + target + " HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(SameBytes(client.Received(), AsRelayed(head) + body));
    const std::vector<DocumentCall> documents = Documents();
    ASSERT_EQ(documents.size(), 1u);
    EXPECT_EQ(documents[0].document, "localhost");
    EXPECT_EQ(documents[0].host, "127.0.0.1");
    EXPECT_EQ(documents[0].size, body.size());
    EXPECT_EQ(documents[0].firstHeader, "HTTP/1.0 200 OK");
    EXPECT_TRUE(SameBytes(documents[0].body, body));
}

TEST_F(Forwarding, BodyWithoutContentLengthIsReadUntilOriginCloses) {
    const std::string body = PatternBytes(700 * 1024, 2);
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\nServer: o\r\n\r\n" + body));
    RawClient client = Exchange("GET " + origin.Url("/stream") + " HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(SameBytes(client.Received(), "HTTP/1.0 200 OK\r\nServer: o\r\nConnection: close\r\n\r\n" + body));
    const std::vector<DocumentCall> documents = Documents();
    ASSERT_EQ(documents.size(), 1u);
    EXPECT_EQ(documents[0].size, body.size());
}

TEST_F(Forwarding, ContentLengthZeroReadsNoBodyAndStillReports) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\nNOT-A-BODY"));
    RawClient client = Exchange("GET " + origin.Url("/empty") + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    const std::vector<DocumentCall> documents = Documents();
    ASSERT_EQ(documents.size(), 1u);
    EXPECT_EQ(documents[0].size, 0u);
    EXPECT_EQ(documents[0].body, "");
}

TEST_F(Forwarding, OnlyContentLengthBytesAreRelayed) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\ncontent-length:  5 \r\n\r\nhelloTRAILING"));
    RawClient client = Exchange("GET " + origin.Url("/") + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\ncontent-length:  5 \r\nConnection: close\r\n\r\nhello");
}

// What the client is sent of an answer head is what the proxy read it as:
// a head that could be read otherwise, or is no HTTP answer, becomes a 502;
// interim answers are read past.
struct OriginHeadCase {
    const char* name;
    std::string answer;
    std::string relayed;  // empty: the client gets a 502
};

void PrintTo(const OriginHeadCase& c, std::ostream* os) { *os << c.name; }

class OriginHead : public Forwarding, public ::testing::WithParamInterface<OriginHeadCase> {};

const OriginHeadCase kOriginHeads[] = {
    {"ContinueThenFinal", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
     "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok"},
    {"ProcessingAndHintsThenFinal",
     "HTTP/1.1 102 Processing\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\nHTTP/1.1 201 Created\r\n\r\nnew",
     "HTTP/1.1 201 Created\r\nConnection: close\r\n\r\nnew"},
    {"LengthWithTransferEncoding",
     "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
     "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n3\r\nabc\r\n0\r\n\r\n"},
    {"KeepAliveFields", "HTTP/1.1 200 OK\r\nConnection: keep-alive, X-Hop\r\nKeep-Alive: timeout=5\r\nX-Hop: 1\r\n\r\nx",
     "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nx"},
    {"TwoLengths", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 12\r\n\r\nok", ""},
    {"LettersLength", "HTTP/1.0 200 OK\r\nContent-Length: abc\r\n\r\nall of it", ""},
    {"SignedLength", "HTTP/1.0 200 OK\r\nContent-Length: +9\r\n\r\nall of it", ""},
    {"BareCr", "HTTP/1.1 200 OK\r\nX-A: a\rSet-Cookie: injected=1\r\n\r\n", ""},
    {"Nul", std::string("HTTP/1.1 200 OK\r\nX-A: a") + '\0' + "b\r\n\r\n", ""},
    {"NoColon", "HTTP/1.1 200 OK\r\nnot a field\r\n\r\n", ""},
    {"LetterInCode", "HTTP/1.1 2OO OK\r\n\r\n", ""},
    {"NoStatusLine", "<html>just a body</html>\r\n\r\n", ""},
    {"ClosesInsideTheHead", "HTTP/1.0 200 OK\r\nContent-Len", ""},
    {"ClosesAtOnce", "", ""},
};

INSTANTIATE_TEST_SUITE_P(Table, OriginHead, ::testing::ValuesIn(kOriginHeads), CaseName());

TEST_P(OriginHead, ReachesTheClientCheckedOrAs502) {
    TOriginServer origin([](TOriginConnection& c) {
        c.ReadHead();
        c.Send(GetParam().answer);
    });
    RawClient client = Exchange("GET " + origin.Url("/") + " HTTP/1.1\r\nExpect: 100-continue\r\n\r\n");
    if (GetParam().relayed.empty()) {
        EXPECT_TRUE(IsProxyAnswer(client.Received(), 502));
    } else {
        EXPECT_EQ(client.Received(), GetParam().relayed);
    }
    EXPECT_EQ(origin.Received().find("Expect"), std::string::npos);
}

TEST_F(Forwarding, DocumentHandlerCanReplaceTheBody) {
    proxy_.OnHTTPDocument = [](TIdHTTPProxyServer&, const std::string&, std::unique_ptr<TStream>& stream,
                               const TIdHeaderList&, const std::string&, uint64_t size) {
        EXPECT_EQ(size, 8u);
        auto replacement = std::make_unique<TMemoryStream>();
        const std::string text = "replaced body";
        replacement->Write(text.data(), static_cast<int64_t>(text.size()));
        stream = std::move(replacement);  // the original is freed with the old pointer
    };
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\nContent-Length: 8\r\n\r\noriginal"));
    RawClient client = Exchange("GET " + origin.Url("/") + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nContent-Length: 8\r\nConnection: close\r\n\r\nreplaced body");
}

TEST_F(Forwarding, DocumentHandlerCanDropTheBody) {
    proxy_.OnHTTPDocument = [](TIdHTTPProxyServer&, const std::string&, std::unique_ptr<TStream>& stream,
                               const TIdHeaderList&, const std::string&, uint64_t) { stream.reset(); };
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\n\r\nsecret"));
    RawClient client = Exchange("GET " + origin.Url("/") + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nConnection: close\r\n\r\n");
}

// A small answer leaves with its head in one send; a handler that fails in
// between must still leave the client what it would have had without that
// gathering: the head, then the close.
TEST_F(Forwarding, DocumentHandlerFailingOnASmallAnswerLeavesTheHead) {
    proxy_.OnHTTPDocument = [](TIdHTTPProxyServer&, const std::string&, std::unique_ptr<TStream>&,
                               const TIdHeaderList&, const std::string&, uint64_t) {
        throw EIdException("handler failed");
    };
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello"));
    RawClient client = Exchange("GET " + origin.Url("/") + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\n");
}

TEST_F(Forwarding, TargetWithoutPortUsesPort80) {
    if (SomethingListensOn(80)) {
        GTEST_SKIP() << "port 80 is served on this machine";
    }
    // Nothing listens on 80, so trying there can only be refused; with the
    // origin's port absent from the URI there is nowhere else to go.
    for (const char* target : {"http://127.0.0.1/x", "http://127.0.0.1:/x"}) {
        RawClient client = Exchange(std::string("GET ") + target + " HTTP/1.0\r\n\r\n");
        EXPECT_TRUE(IsProxyAnswer(client.Received(), 502)) << target;
        EXPECT_NE(client.Received().find("refused"), std::string::npos) << target;
    }
}

TEST_F(Forwarding, OnlyTheFirstOfTwoRequestsIsServed) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\none"));
    RawClient client = Exchange("GET " + origin.Url("/first") + " HTTP/1.1\r\nHost: a\r\n\r\n" + "GET " +
                                origin.Url("/second") + " HTTP/1.1\r\nHost: a\r\n\r\n");
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\none");
    ASSERT_TRUE(WaitUntil([&] { return proxy_.LiveContexts().Count() == 0; }));
    EXPECT_EQ(origin.StopAndCount(), 1u);
    EXPECT_EQ(origin.Received(0), "GET /first HTTP/1.0\r\n" + HostOf(origin) + "\r\n");
}

TEST_F(Forwarding, ConcurrentDocumentsReportTheirOwnBodies) {
    TOriginServer origin([](TOriginConnection& c) {
        c.ReadHead();
        const std::string head = c.Received();
        const size_t slash = head.find('/');
        const uint32_t seed = static_cast<uint32_t>(std::strtoul(head.c_str() + slash + 1, nullptr, 10));
        c.Send("HTTP/1.0 200 OK\r\n\r\n" + PatternBytes(20000 + seed, seed));
        c.ShutdownSending();
        c.ReadToClose();
    });
    std::vector<RawClient> clients;
    for (uint32_t i = 0; i < 8; ++i) {
        clients.push_back(Connect());
        clients.back().Send("GET " + origin.Url("/" + std::to_string(i)) + " HTTP/1.0\r\n\r\n");
    }
    for (uint32_t i = 0; i < 8; ++i) {
        ASSERT_TRUE(clients[i].ReadToClose());
        EXPECT_TRUE(SameBytes(clients[i].Received(),
                              "HTTP/1.0 200 OK\r\nConnection: close\r\n\r\n" + PatternBytes(20000 + i, i)))
            << i;
    }
    std::vector<DocumentCall> documents = Documents();
    ASSERT_EQ(documents.size(), 8u);
    for (const DocumentCall& call : documents) {
        const auto seed = static_cast<uint32_t>(call.size - 20000);
        EXPECT_TRUE(SameBytes(call.body, PatternBytes(20000 + seed, seed)));
    }
}

// ------------------------------------------------------------------ HEAD

TEST_F(Forwarding, HeadIsForwardedAndRelaysOnlyTheHead) {
    // The origin announces a body, sends some of it anyway and keeps the
    // connection open: the proxy must neither relay nor wait for a body.
    TOriginServer origin([](TOriginConnection& c) {
        c.ReadHead();
        c.Send("HTTP/1.0 200 OK\r\nContent-Length: 100000\r\nContent-Type: text/html\r\n\r\nstray body bytes");
        c.ReadToClose();
    });
    const auto start = Clock::now();
    RawClient client = Exchange("HEAD " + origin.Url("/page?x=1#top") + " HTTP/1.1\r\nHost: h\r\nAccept: */*\r\n\r\n");
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_EQ(client.Received(),
              "HTTP/1.0 200 OK\r\nContent-Length: 100000\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(origin.Received(), "HEAD /page?x=1 HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(origin.Port()) +
                                     "\r\nAccept: */*\r\n\r\n");
    EXPECT_TRUE(Documents().empty());
}

TEST_F(Forwarding, HeadWithoutContentLengthDoesNotWaitForClose) {
    TOriginServer origin([](TOriginConnection& c) {
        c.ReadHead();
        c.Send("HTTP/1.0 404 Not Found\r\nServer: o\r\n\r\n");
        c.ReadToClose();
    });
    RawClient client = Exchange("head " + origin.Url("/missing") + " HTTP/1.0\r\n\r\n", 5s);
    EXPECT_EQ(client.Received(), "HTTP/1.0 404 Not Found\r\nServer: o\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(Documents().empty());
}

// ------------------------------------------------------------------ POST

TEST_F(Forwarding, PostForwardsExactlyContentLengthBytes) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 201 Created\r\nContent-Length: 2\r\n\r\nok"));
    RawClient client = Exchange("POST " + origin.Url("/form?id=3") + " HTTP/1.1\r\n" +
                                "Content-Type: text/plain\r\n"
                                "Content-Length: 10\r\n"
                                "\r\n"
                                "0123456789EXTRA BYTES THAT ARE NOT THE BODY");
    EXPECT_EQ(client.Received(), "HTTP/1.0 201 Created\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
    // The origin read until the proxy closed: nothing beyond the body came.
    EXPECT_EQ(origin.Received(), "POST /form?id=3 HTTP/1.0\r\n" + HostOf(origin) +
                                     "Content-Type: text/plain\r\nContent-Length: 10\r\n\r\n0123456789");
    const std::vector<DocumentCall> documents = Documents();
    ASSERT_EQ(documents.size(), 1u);
    EXPECT_EQ(documents[0].body, "ok");
}

TEST_F(Forwarding, PostBodyArrivingInPiecesIsForwardedWhole) {
    const std::string body = PatternBytes(1024 * 1024 + 3, 4);
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n"));
    RawClient client = Connect();
    ASSERT_TRUE(client.Send("POST " + origin.Url("/up") + " HTTP/1.0\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\n\r\n"));
    for (size_t offset = 0; offset < body.size(); offset += 100000) {
        ASSERT_TRUE(client.Send(std::string_view(body).substr(offset, 100000)));
    }
    EXPECT_TRUE(client.ReadToClose());
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    const std::string expected =
        "POST /up HTTP/1.0\r\n" + HostOf(origin) + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    const std::string received = origin.Received();
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(SameBytes(received, expected));
}

TEST_F(Forwarding, PostWithoutContentLengthSendsNoBody) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n"));
    RawClient client = Exchange("POST " + origin.Url("/nobody") + " HTTP/1.0\r\nX-A: 1\r\n\r\nignored bytes");
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(origin.Received(), "POST /nobody HTTP/1.0\r\n" + HostOf(origin) + "X-A: 1\r\n\r\n");
}

TEST_F(Forwarding, PostWithEqualDuplicateContentLengthsIsForwarded) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n"));
    const std::string head = "POST " + origin.Url("/dup") + " HTTP/1.0\r\nContent-Length: 4\r\ncontent-length:  4\r\n\r\n";
    RawClient client = Exchange(head + "abcd");
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(origin.Received(),
              "POST /dup HTTP/1.0\r\n" + HostOf(origin) + "Content-Length: 4\r\ncontent-length:  4\r\n\r\nabcd");
}

TEST_F(Forwarding, PostClientClosingInsideTheBodyContactsNoOrigin) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\n\r\n"));
    RawClient client = Connect();
    ASSERT_TRUE(client.Send("POST " + origin.Url("/") + " HTTP/1.0\r\nContent-Length: 100\r\n\r\nonly ten.."));
    client.ShutdownSending();
    EXPECT_TRUE(client.ClosesWithoutData());
    ASSERT_TRUE(WaitUntil([&] { return proxy_.LiveContexts().Count() == 0; }));
    EXPECT_EQ(origin.StopAndCount(), 0u);
}

struct RefusedBodyCase {
    const char* name;
    std::string headers;
    int status;
};

void PrintTo(const RefusedBodyCase& c, std::ostream* os) { *os << c.name; }

class RefusedBody : public Forwarding, public ::testing::WithParamInterface<RefusedBodyCase> {};

const RefusedBodyCase kRefusedBodies[] = {
    {"NegativeLength", "Content-Length: -1\r\n", 400},
    {"PlusSign", "Content-Length: +5\r\n", 400},
    {"HexLength", "Content-Length: 0x10\r\n", 400},
    {"DollarHexLength", "Content-Length: $10\r\n", 400},
    {"Letters", "Content-Length: ten\r\n", 400},
    {"DigitsThenLetters", "Content-Length: 10abc\r\n", 400},
    {"EmptyLength", "Content-Length:\r\n", 400},
    {"InnerBlank", "Content-Length: 1 0\r\n", 400},
    {"ListOfLengths", "Content-Length: 5, 5\r\n", 400},
    {"Overflow", "Content-Length: 9223372036854775808\r\n", 400},
    {"DifferentDuplicates", "Content-Length: 5\r\nContent-Length: 6\r\n", 400},
    {"BadSecondDuplicate", "Content-Length: 5\r\nContent-Length: x\r\n", 400},
    {"TransferEncodingWithLength", "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n", 400},
    {"LengthWithTransferEncoding", "Content-Length: 5\r\ntransfer-encoding: identity\r\n", 400},
    {"OtherCoding", "TRANSFER-ENCODING: gzip, chunked\r\n", 501},
    {"MalformedChunks", "Transfer-Encoding: chunked\r\n\r\nzz\r\n", 400},
};

INSTANTIATE_TEST_SUITE_P(Table, RefusedBody, ::testing::ValuesIn(kRefusedBodies), CaseName());

TEST_P(RefusedBody, IsAnsweredAndNothingIsForwarded) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\n\r\n"));
    RawClient client = Exchange("POST " + origin.Url("/x") + " HTTP/1.1\r\nHost: h\r\n" + GetParam().headers +
                                "\r\n5\r\nhello\r\n0\r\n\r\n");
    EXPECT_TRUE(IsProxyAnswer(client.Received(), GetParam().status));
    EXPECT_EQ(client.State(), ReadState::Closed);
    client.Close();
    ASSERT_TRUE(WaitUntil([&] { return proxy_.LiveContexts().Count() == 0; }));
    EXPECT_EQ(origin.StopAndCount(), 0u);
    EXPECT_TRUE(Documents().empty());
}

// A refused request whose client goes on sending a large body still gets
// its answer, then an orderly end of stream.
TEST_F(Forwarding, RefusalSurvivesABodyStillInFlight) {
    const std::string body = PatternBytes(800 * 1024, 9);
    RawClient client = Connect();
    ASSERT_TRUE(client.Send("POST http://127.0.0.1:1/ HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n"));
    std::thread sender([&client, &body] { client.Send(body); });
    const bool ended = client.ReadToClose();
    sender.join();
    EXPECT_TRUE(ended);
    EXPECT_TRUE(IsProxyAnswer(client.Received(), 501));
    EXPECT_EQ(client.State(), ReadState::Closed);
}

// A declared length is not memory: a large upload is relayed as it comes,
// and one that stalls is given up on both sides.
TEST_F(Forwarding, HugeDeclaredLengthWithoutBodyCostsNoMemory) {
    const int64_t before = ProcStatusValue("VmRSS");
    if (before < 0) {
        GTEST_SKIP() << "no /proc/self/status here";
    }
    proxy_.SetIdleTimeout(1);
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\n\r\n"));
    RawClient client = Connect();
    ASSERT_TRUE(client.Send("POST " + origin.Url("/big") + " HTTP/1.0\r\nContent-Length: 3000000000\r\n\r\nsmall"));
    EXPECT_TRUE(client.ClosesWithoutData(8s));
    EXPECT_EQ(client.State(), CutOff());
    const int64_t after = ProcStatusValue("VmRSS");
    EXPECT_LT(after - before, 64 * 1024) << "kB grown: " << after - before;
    ASSERT_TRUE(WaitUntil([&] { return proxy_.LiveContexts().Count() == 0; }));
    EXPECT_EQ(origin.Received(), "POST /big HTTP/1.0\r\n" + HostOf(origin) + "Content-Length: 3000000000\r\n\r\nsmall");
}

// ------------------------------------------------------- other methods

// Every method goes to the origin as POST does: its body held or relayed by
// its length, byte for byte.
struct MethodCase {
    const char* method;
    size_t bodySize;
    bool chunked;
};

void PrintTo(const MethodCase& c, std::ostream* os) { *os << c.method << ' ' << c.bodySize; }

class Methods : public ProxyTest, public ::testing::WithParamInterface<MethodCase> {};

const MethodCase kMethods[] = {
    {"PUT", 0, false},      {"PUT", 1000, false},     {"PUT", 300 * 1024, false}, {"DELETE", 0, false},
    {"PATCH", 5000, false}, {"OPTIONS", 0, false},    {"OPTIONS", 20, false},     {"PROPFIND", 100, false},
    {"PUT", 1000, true},    {"PUT", 64 * 1024, true}, {"POST", 5 << 20, true},
};

INSTANTIATE_TEST_SUITE_P(Table, Methods, ::testing::ValuesIn(kMethods),
                         [](const ::testing::TestParamInfo<MethodCase>& c) {
                             return std::string(c.param.method) + std::to_string(c.param.bodySize) +
                                    (c.param.chunked ? "Chunked" : "");
                         });

// Chunks of uneven sizes, as a client that streams would send them.
std::string Chunked(const std::string& body) {
    std::string framed;
    size_t size = 1;
    for (size_t offset = 0; offset < body.size(); offset += size, size = size * 3 + 7) {
        const std::string piece = body.substr(offset, size);
        std::string line = ChunkSizeLine(piece.size());
        line.insert(line.size() - 2, ";ext=1");
        framed += line + piece + "\r\n";
    }
    return framed + "0\r\nX-Trailer: dropped\r\n\r\n";
}

TEST_P(Methods, ReachTheOriginByteForByte) {
    const MethodCase& c = GetParam();
    proxy_.SetHoldLimit(64 * 1024);  // the largest bodies are relayed
    StartProxy();
    TOriginServer origin([](TOriginConnection& conn) {
        conn.ReadUntil([](const std::string& got) {
            TOriginRequest request;
            if (!ParseRequest(got, request)) {
                return false;
            }
            const bool chunked = got.find("Transfer-Encoding: chunked") != std::string::npos;
            return chunked ? got.find("\r\n0\r\n\r\n") != std::string::npos
                           : request.body.size() >= RequestBodyLength(got);
        });
        conn.Send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\ndone");
    });
    const std::string body = PatternBytes(c.bodySize, 7);
    std::string request = std::string(c.method) + " " + origin.Url("/r?x=1") + " HTTP/1.1\r\nX-A: 1\r\n";
    if (c.chunked) {
        request += "Transfer-Encoding: chunked\r\n\r\n" + Chunked(body);
    } else {
        request += (c.bodySize > 0 ? "Content-Length: " + std::to_string(c.bodySize) + "\r\n" : "") + "\r\n" + body;
    }
    RawClient client = Exchange(request, 30s);
    EXPECT_EQ(client.Received(), "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nConnection: close\r\n\r\ndone");

    const std::string line = std::string(c.method) + " /r?x=1 HTTP/1.";
    std::string expected = line + "0\r\n" + HostOf(origin) + "X-A: 1\r\n";
    if (c.chunked && static_cast<int64_t>(c.bodySize) <= proxy_.HoldLimit()) {
        expected += "Content-Length: " + std::to_string(c.bodySize) + "\r\n\r\n" + body;
    } else if (c.chunked) {
        expected = line + "1\r\n" + HostOf(origin) + "X-A: 1\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
    } else {
        expected += (c.bodySize > 0 ? "Content-Length: " + std::to_string(c.bodySize) + "\r\n" : "") + "\r\n" + body;
    }
    const std::string received = origin.Received();
    if (c.chunked && static_cast<int64_t>(c.bodySize) > proxy_.HoldLimit()) {
        // Framed again by the proxy: the head says so, and the chunks hold
        // the body whole, without the client's extensions and trailers.
        ASSERT_EQ(received.substr(0, expected.size()), expected);
        std::string decoded;
        THTTPChunkDecoder decoder;
        for (std::string_view rest = std::string_view(received).substr(expected.size()); !rest.empty() && !decoder.Done();) {
            std::string_view data;
            rest.remove_prefix(decoder.Decode(rest, data));
            decoded.append(data);
            ASSERT_FALSE(decoder.Failed());
        }
        EXPECT_TRUE(decoder.Done());
        EXPECT_TRUE(SameBytes(decoded, body));
        EXPECT_EQ(received.find("ext=1"), std::string::npos);
        EXPECT_EQ(received.find("X-Trailer"), std::string::npos);
    } else {
        EXPECT_TRUE(SameBytes(received, expected));
    }
}

TEST_F(Forwarding, OptionsWithMaxForwardsZeroIsAnsweredByTheProxy) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\n\r\n"));
    RawClient client = Exchange("OPTIONS " + origin.Url("/") + " HTTP/1.1\r\nMax-Forwards: 0\r\n\r\n");
    EXPECT_TRUE(IsProxyAnswer(client.Received(), 200));
    ASSERT_TRUE(WaitUntil([&] { return proxy_.LiveContexts().Count() == 0; }));
    EXPECT_EQ(origin.StopAndCount(), 0u);
}

TEST_F(Forwarding, HelpListsTheMethodsThenCloses) {
    const std::string listing =
        "100 Help follows\r\n"
        "CONNECT\r\n\r\n"
        "GET\r\n\r\n"
        "HEAD\r\n\r\n"
        "Help\r\n  Displays commands that the servers supports.\r\n\r\n"
        "POST\r\n\r\n"
        ".\r\n";
    for (const char* help : {"HELP\r\n", "help\r\nHELP\r\n"}) {
        RawClient client = Exchange(help);
        EXPECT_EQ(client.Received(), listing);
    }
}

// A response length is no more memory than a request length.
TEST_F(Forwarding, HugeDeclaredResponseLengthCostsNoMemory) {
    const int64_t before = ProcStatusValue("VmRSS");
    if (before < 0) {
        GTEST_SKIP() << "no /proc/self/status here";
    }
    proxy_.SetIdleTimeout(1);
    TOriginServer origin([](TOriginConnection& c) {
        c.ReadHead();
        c.Send("HTTP/1.0 200 OK\r\nContent-Length: 2000000000\r\n\r\nfirst bytes");
        c.ReadToClose();
    });
    RawClient client = Exchange("GET " + origin.Url("/big") + " HTTP/1.0\r\n\r\n", 8s);
    // Relayed as it comes, and cut off with a reset when the origin stalls.
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nContent-Length: 2000000000\r\nConnection: close\r\n\r\nfirst bytes");
    EXPECT_EQ(client.State(), CutOff());
    const int64_t after = ProcStatusValue("VmRSS");
    EXPECT_LT(after - before, 64 * 1024) << "kB grown: " << after - before;
}

// ---------------------------------------------------------- deactivation

class Deactivation : public ProxyTest {
protected:
    void SetUp() override { StartProxy(); }

    // Deactivates and answers how long that took.
    milliseconds TimedStop() {
        const auto start = Clock::now();
        proxy_.SetActive(false);
        return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    }
};

TEST_F(Deactivation, EndsARequestWaitingForASilentOrigin) {
    TOriginServer origin([](TOriginConnection& c) {
        c.ReadHead();
        c.ReadToClose(20s);
    });
    RawClient client = Connect();
    ASSERT_TRUE(client.Send("GET " + origin.Url("/") + " HTTP/1.0\r\n\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return origin.Connections() == 1; }));
    EXPECT_LT(TimedStop(), 3s);
    EXPECT_EQ(proxy_.LiveContexts().Count(), 0u);
    EXPECT_TRUE(client.ClosesWithoutData());
}

TEST_F(Deactivation, EndsAWaitForTheRequest) {
    RawClient client = Connect();
    ASSERT_TRUE(client.Send("GET http://127.0.0.1:1/ HTTP/1.0\r\nX-Partial: 1\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return proxy_.LiveContexts().Count() == 1; }));
    EXPECT_LT(TimedStop(), 3s);
    EXPECT_TRUE(client.ClosesWithoutData());
}

TEST_F(Deactivation, EndsAnOpenTunnel) {
    TOriginServer target([](TOriginConnection& c) {
        c.Send("open");
        c.ReadToClose(20s);
    });
    RawClient client = Connect();
    ASSERT_TRUE(client.Send("CONNECT 127.0.0.1:" + std::to_string(target.Port()) + " HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(client.ReadMarker("open"));
    EXPECT_LT(TimedStop(), 3s);
    EXPECT_TRUE(client.ReadToClose());
    EXPECT_TRUE(target.WaitFinished(1));
}

// --------------------------------------------------------------- timeouts

class Timeouts : public ProxyTest {};

TEST_F(Timeouts, SilentClientIsDisconnectedAfterTheRequestTimeout) {
    proxy_.SetRequestTimeout(1);
    StartProxy();
    const auto start = Clock::now();
    RawClient client = Connect();
    EXPECT_TRUE(client.ClosesWithoutData(8s));
    EXPECT_GE(Clock::now() - start, 900ms);
}

// The unfinished line stays queued after the cut-off; the connection must
// still end and its worker go away.
TEST_F(Timeouts, UnfinishedRequestLineIsCutOffAndTheContextEnds) {
    proxy_.SetRequestTimeout(1);
    StartProxy();
    RawClient client = Connect();
    ASSERT_TRUE(client.Send("GET http://127.0.0.1:1/ HTT"));
    EXPECT_TRUE(client.ClosesWithoutData(8s));
    client.Close();
    EXPECT_TRUE(WaitUntil([&] { return proxy_.LiveContexts().Count() == 0; }, 5s));
}

TEST_F(Timeouts, TricklingHeadersDoNotExtendTheRequestTimeout) {
    proxy_.SetRequestTimeout(1);
    StartProxy();
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\n\r\n"));
    const auto start = Clock::now();
    RawClient client = Connect();
    ASSERT_TRUE(client.Send("GET " + origin.Url("/") + " HTTP/1.0\r\n"));
    // One header line every 100 ms, never the empty line.
    for (int i = 0; i < 80 && !client.PeerClosed(); ++i) {
        client.Send("X-Slow-" + std::to_string(i) + ": 1\r\n");
        client.ReadUntil([](const std::string&) { return false; }, 100ms);
    }
    EXPECT_TRUE(client.PeerClosed());
    EXPECT_EQ(client.Received(), "");
    EXPECT_LT(Clock::now() - start, 5s);
    client.Close();
    ASSERT_TRUE(WaitUntil([&] { return proxy_.LiveContexts().Count() == 0; }));
    EXPECT_EQ(origin.StopAndCount(), 0u);
}

// The limit holds inside a line too: a byte every 1.5 s keeps each single
// wait short of 2 s, but not the request.
TEST_F(Timeouts, RequestTimeoutIsADeadlineWhateverThePace) {
    proxy_.SetRequestTimeout(2);
    StartProxy();
    const auto start = Clock::now();
    RawClient client = Connect();
    ASSERT_TRUE(client.Send("GET http://127.0.0.1:1/ HTTP/1.0\r\nX-Slow: "));
    while (!client.PeerClosed() && Clock::now() - start < 6s) {
        client.ReadUntil([](const std::string&) { return false; }, 1500ms);
        if (!client.PeerClosed()) {
            client.Send("a");
        }
    }
    EXPECT_TRUE(client.PeerClosed());
    EXPECT_LT(Clock::now() - start, 2500ms);
    EXPECT_EQ(client.Received(), "");
}

TEST_F(Timeouts, ConnectToATargetThatNeverAnswersEndsAtTheConnectTimeout) {
    proxy_.SetConnectTimeout(2);
    StartProxy();
    TBlackHole hole;
    const std::string target = "127.0.0.1:" + std::to_string(hole.Port());
    for (const std::string& request :
         {"GET http://" + target + "/ HTTP/1.0\r\n\r\n", "CONNECT " + target + " HTTP/1.1\r\n\r\n"}) {
        const auto start = Clock::now();
        RawClient client = Exchange(request, 8s);
        EXPECT_TRUE(IsProxyAnswer(client.Received(), 504)) << request;
        EXPECT_GE(Clock::now() - start, 1500ms) << request;
        EXPECT_LT(Clock::now() - start, 3s) << request;
    }
}

TEST_F(Timeouts, RequestTimeoutDoesNotCutASlowOrigin) {
    proxy_.SetRequestTimeout(1);
    StartProxy();
    TOriginServer origin([](TOriginConnection& c) {
        c.ReadHead();
        c.ReadUntil([](const std::string&) { return false; }, 1500ms);  // think longer than the request limit
        c.Send("HTTP/1.0 200 OK\r\n\r\nslow but fine");
    });
    RawClient client = Exchange("GET " + origin.Url("/") + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nConnection: close\r\n\r\nslow but fine");
}

TEST_F(Timeouts, SilentOriginEndsTheRequestAfterTheIdleTimeout) {
    proxy_.SetIdleTimeout(1);
    StartProxy();
    TOriginServer origin([](TOriginConnection& c) {
        c.ReadHead();
        c.ReadToClose();
    });
    const auto start = Clock::now();
    RawClient client = Connect();
    ASSERT_TRUE(client.Send("GET " + origin.Url("/") + " HTTP/1.0\r\n\r\n"));
    EXPECT_TRUE(client.ReadToClose(8s));
    EXPECT_TRUE(IsProxyAnswer(client.Received(), 504));
    EXPECT_GE(Clock::now() - start, 900ms);
    EXPECT_TRUE(origin.WaitFinished(1));  // the origin saw the proxy close
}

TEST_F(Timeouts, OriginStallingInsideTheBodyEndsTheRequest) {
    proxy_.SetIdleTimeout(1);
    StartProxy();
    TOriginServer origin([](TOriginConnection& c) {
        c.ReadHead();
        c.Send("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nfirst ten.");
        c.ReadToClose();
    });
    RawClient client = Connect();
    ASSERT_TRUE(client.Send("GET " + origin.Url("/") + " HTTP/1.0\r\n\r\n"));
    EXPECT_TRUE(client.ReadToClose(8s));
    // The head went out before the body was read; no body byte follows.
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\n");
}

TEST_F(Timeouts, StalledRequestBodyEndsTheRequestWithoutOrigin) {
    proxy_.SetIdleTimeout(1);
    StartProxy();
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\n\r\n"));
    RawClient client = Connect();
    ASSERT_TRUE(client.Send("POST " + origin.Url("/") + " HTTP/1.0\r\nContent-Length: 100\r\n\r\nfirst ten."));
    EXPECT_TRUE(client.ClosesWithoutData(8s));
    client.Close();
    ASSERT_TRUE(WaitUntil([&] { return proxy_.LiveContexts().Count() == 0; }));
    EXPECT_EQ(origin.StopAndCount(), 0u);
}

// ------------------------------------------------------- an IPv6 origin

struct IPv6Case {
    const char* method;
    std::string body;      // what the client sends behind the head
    std::string expected;  // what the client receives
};

void PrintTo(const IPv6Case& c, std::ostream* os) { *os << c.method; }

class IPv6Origin : public ProxyTest, public ::testing::WithParamInterface<IPv6Case> {};

// An origin that has only an IPv6 address, reached by its bracketed
// literal: the request goes out over IPv6 with the literal in Host.
TEST_P(IPv6Origin, IsServedByItsLiteral) {
    std::unique_ptr<TOriginServer> origin;
    try {
        origin = std::make_unique<TOriginServer>([](TOriginConnection& c) {
            c.ReadRequest();
            c.Send(c.Received().rfind("CONNECT", 0) == 0 ? "tunnel" : "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
            c.ReadToClose();
        }, TOriginOptions{"::1"});
    } catch (const EIdException&) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    StartProxy();
    const IPv6Case& c = GetParam();
    const std::string authority = "[::1]:" + std::to_string(origin->Port());
    const std::string target = c.method == std::string("CONNECT") ? authority : "http://" + authority + "/six";
    RawClient client = Connect();
    ASSERT_TRUE(client.Send(std::string(c.method) + " " + target + " HTTP/1.1\r\nHost: " + authority + "\r\n" +
                            (c.body.empty() ? "" : "Content-Length: " + std::to_string(c.body.size()) + "\r\n") +
                            "\r\n" + c.body));
    ASSERT_TRUE(client.ReadCount(c.expected.size()));
    EXPECT_EQ(client.Received(), c.expected);
    client.Close();
    ASSERT_TRUE(origin->WaitFinished(1));
    if (c.method != std::string("CONNECT")) {
        EXPECT_EQ(origin->Received().substr(0, origin->Received().find("\r\n\r\n") + 4),
                  std::string(c.method) + " /six HTTP/1.0\r\nHost: " + authority + "\r\n" +
                      (c.body.empty() ? "" : "Content-Length: " + std::to_string(c.body.size()) + "\r\n") + "\r\n");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Methods, IPv6Origin,
    ::testing::Values(IPv6Case{"GET", "", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok"},
                      IPv6Case{"POST", "hello", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok"},
                      IPv6Case{"HEAD", "", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\n"},
                      IPv6Case{"CONNECT", "", "HTTP/1.0 200 Connection established\r\nProxy-agent: Vantrel/1.1\r\n\r\n"}));

}  // namespace
}  // namespace proxytest

// Tests of GET, HEAD and POST forwarding through a running proxy: the exact
// bytes that reach the origin and the client, body framing, the document
// event, refused request bodies, timeouts, and the command-server answers
// for unknown lines and HELP.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "base/IdException.h"
#include "io/IdStream.h"
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

// ------------------------------------------------------------------- GET

TEST_F(Forwarding, OriginGetsPathAndQueryWithoutFragmentAndHeadersUnchanged) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 204 No Content\r\n\r\n"));
    const std::string headers =
        "Host: 127.0.0.1\r\n"
        "User-Agent: test/1.0\r\n"
        "Accept:   */*  \r\n"
        "X-Empty:\r\n"
        "Cookie: a=b; c=d\r\n"
        "Connection: keep-alive\r\n";
    RawClient client = Exchange("GET " + origin.Url("/dir/sub/doc.html?q=1&r=%20x#frag") + " HTTP/1.1\r\n" +
                                headers + "\r\n");
    EXPECT_EQ(client.Received(), "HTTP/1.0 204 No Content\r\n\r\n");
    EXPECT_EQ(origin.Received(), "GET /dir/sub/doc.html?q=1&r=%20x HTTP/1.0\r\n" + headers + "\r\n");
}

TEST_F(Forwarding, RootTargetWithoutPathAsksForSlash) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 204 No Content\r\n\r\n"));
    RawClient client = Exchange("GET " + origin.Url("") + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(client.Received(), "HTTP/1.0 204 No Content\r\n\r\n");
    EXPECT_EQ(origin.Received(), "GET / HTTP/1.0\r\n\r\n");
}

TEST_F(Forwarding, LineEndsBecomeCrLfBothWays) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\nServer: bare-lf\r\nContent-Length: 4\n\nA\nBC"));
    RawClient client = Exchange("GET " + origin.Url("/lf") + " HTTP/1.0\nHost: h\nX-Mixed: y\r\n\n");
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nServer: bare-lf\r\nContent-Length: 4\r\n\r\nA\nBC");
    EXPECT_EQ(origin.Received(), "GET /lf HTTP/1.0\r\nHost: h\r\nX-Mixed: y\r\n\r\n");
}

TEST_F(Forwarding, BinaryBodyWithContentLengthArrivesWholeAndIsReported) {
    const std::string body = PatternBytes(300 * 1024 + 17, 1) + std::string("\r\n\0\r\n.\r\n", 8);
    const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n";
    TOriginServer origin(TOriginServer::Reply(head + body));
    const std::string target = "http://localhost:" + std::to_string(origin.Port()) + "/file.bin";
    RawClient client = Exchange("GET " + target + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(client.Received().size(), head.size() + body.size());
    EXPECT_TRUE(SameBytes(client.Received(), head + body));
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
    EXPECT_TRUE(SameBytes(client.Received(), "HTTP/1.0 200 OK\r\nServer: o\r\n\r\n" + body));
    const std::vector<DocumentCall> documents = Documents();
    ASSERT_EQ(documents.size(), 1u);
    EXPECT_EQ(documents[0].size, body.size());
}

TEST_F(Forwarding, ContentLengthZeroReadsNoBodyAndStillReports) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\nNOT-A-BODY"));
    RawClient client = Exchange("GET " + origin.Url("/empty") + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n");
    const std::vector<DocumentCall> documents = Documents();
    ASSERT_EQ(documents.size(), 1u);
    EXPECT_EQ(documents[0].size, 0u);
    EXPECT_EQ(documents[0].body, "");
}

TEST_F(Forwarding, OnlyContentLengthBytesAreRelayed) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\ncontent-length:  5 \r\n\r\nhelloTRAILING"));
    RawClient client = Exchange("GET " + origin.Url("/") + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\ncontent-length:  5 \r\n\r\nhello");
}

// A response length is not a settings value: only plain digits count, and
// anything else means the body ends when the origin closes.
TEST_F(Forwarding, UnusableContentLengthMeansReadUntilClose) {
    for (const char* length : {"-5", "abc", "+9", "0x10", "$10", "9223372036854775808"}) {
        TOriginServer origin(TOriginServer::Reply(std::string("HTTP/1.0 200 OK\r\nContent-Length: ") + length +
                                                "\r\n\r\nall of it"));
        RawClient client = Exchange("GET " + origin.Url("/") + " HTTP/1.0\r\n\r\n");
        EXPECT_EQ(client.Received(), std::string("HTTP/1.0 200 OK\r\nContent-Length: ") + length +
                                         "\r\n\r\nall of it");
        EXPECT_EQ(client.State(), ReadState::Closed) << length;
    }
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
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nContent-Length: 8\r\n\r\nreplaced body");
}

TEST_F(Forwarding, DocumentHandlerCanDropTheBody) {
    proxy_.OnHTTPDocument = [](TIdHTTPProxyServer&, const std::string&, std::unique_ptr<TStream>& stream,
                               const TIdHeaderList&, const std::string&, uint64_t) { stream.reset(); };
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\n\r\nsecret"));
    RawClient client = Exchange("GET " + origin.Url("/") + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\n\r\n");
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
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\n");
}

TEST_F(Forwarding, UnreachableOriginClosesWithoutAnswer) {
    const int32_t port = ClosedLoopbackPort();
    RawClient client = Exchange("GET http://127.0.0.1:" + std::to_string(port) + "/ HTTP/1.0\r\n\r\n");
    EXPECT_EQ(client.Received(), "");
    EXPECT_TRUE(Documents().empty());
}

TEST_F(Forwarding, TargetWithoutPortUsesPort80) {
    if (SomethingListensOn(80)) {
        GTEST_SKIP() << "port 80 is served on this machine";
    }
    // Nothing listens on 80, so trying there can only end in a silent close;
    // with the origin's port absent from the URI there is nowhere else to go.
    for (const char* target : {"http://127.0.0.1/x", "https://127.0.0.1/x", "http://127.0.0.1:/x"}) {
        RawClient client = Exchange(std::string("GET ") + target + " HTTP/1.0\r\n\r\n");
        EXPECT_EQ(client.Received(), "") << target;
    }
}

TEST_F(Forwarding, TargetWithoutHostClosesWithoutAnswer) {
    RawClient client = Exchange("GET /only/a/path HTTP/1.0\r\n\r\n");
    EXPECT_EQ(client.Received(), "");
}

TEST_F(Forwarding, MalformedRequestsCloseWithoutAnswer) {
    const std::string longLine = "GET http://127.0.0.1:1/" + std::string(20000, 'a') + " HTTP/1.0\r\n\r\n";
    std::string hugeHeaders = "GET http://127.0.0.1:1/ HTTP/1.0\r\n";
    while (hugeHeaders.size() < 1100 * 1024) {
        hugeHeaders += "X-Filler: " + std::string(1000, 'f') + "\r\n";
    }
    for (const std::string& request : {std::string("GET\r\n\r\n"), std::string("POST\r\n\r\n"),
                                       std::string("HEAD\r\n\r\n"), std::string("CONNECT\r\n\r\n"), longLine,
                                       hugeHeaders}) {
        RawClient client = Connect();
        client.Send(request);  // the proxy may close before it has all of it
        EXPECT_TRUE(client.ReadToClose()) << request.substr(0, 40);
        EXPECT_EQ(client.Received(), "") << request.substr(0, 40);
    }
}

TEST_F(Forwarding, OriginClosingInsideItsHeaderBlockClosesClientWithoutAnswer) {
    TOriginServer origin([](TOriginConnection& c) {
        c.ReadHead();
        c.Send("HTTP/1.0 200 OK\r\nContent-Len");
    });
    RawClient client = Exchange("GET " + origin.Url("/") + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(client.Received(), "");
}

TEST_F(Forwarding, OnlyTheFirstOfTwoRequestsIsServed) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\none"));
    RawClient client = Exchange("GET " + origin.Url("/first") + " HTTP/1.1\r\nHost: a\r\n\r\n" + "GET " +
                                origin.Url("/second") + " HTTP/1.1\r\nHost: a\r\n\r\n");
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\none");
    ASSERT_TRUE(WaitUntil([&] { return proxy_.LiveContexts().Count() == 0; }));
    EXPECT_EQ(origin.StopAndCount(), 1u);
    EXPECT_EQ(origin.Received(0), "GET /first HTTP/1.0\r\nHost: a\r\n\r\n");
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
        EXPECT_TRUE(SameBytes(clients[i].Received(), "HTTP/1.0 200 OK\r\n\r\n" + PatternBytes(20000 + i, i))) << i;
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
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nContent-Length: 100000\r\nContent-Type: text/html\r\n\r\n");
    EXPECT_EQ(origin.Received(), "HEAD /page?x=1 HTTP/1.0\r\nHost: h\r\nAccept: */*\r\n\r\n");
    EXPECT_TRUE(Documents().empty());
}

TEST_F(Forwarding, HeadWithoutContentLengthDoesNotWaitForClose) {
    TOriginServer origin([](TOriginConnection& c) {
        c.ReadHead();
        c.Send("HTTP/1.0 404 Not Found\r\nServer: o\r\n\r\n");
        c.ReadToClose();
    });
    RawClient client = Exchange("head " + origin.Url("/missing") + " HTTP/1.0\r\n\r\n", 5s);
    EXPECT_EQ(client.Received(), "HTTP/1.0 404 Not Found\r\nServer: o\r\n\r\n");
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
    EXPECT_EQ(client.Received(), "HTTP/1.0 201 Created\r\nContent-Length: 2\r\n\r\nok");
    // The origin read until the proxy closed: nothing beyond the body came.
    EXPECT_EQ(origin.Received(),
              "POST /form?id=3 HTTP/1.0\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n\r\n0123456789");
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
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n");
    const std::string expected =
        "POST /up HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    const std::string received = origin.Received();
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(SameBytes(received, expected));
}

TEST_F(Forwarding, PostWithoutContentLengthSendsNoBody) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n"));
    RawClient client = Exchange("POST " + origin.Url("/nobody") + " HTTP/1.0\r\nX-A: 1\r\n\r\nignored bytes");
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(origin.Received(), "POST /nobody HTTP/1.0\r\nX-A: 1\r\n\r\n");
}

TEST_F(Forwarding, PostWithEqualDuplicateContentLengthsIsForwarded) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n"));
    const std::string head = "POST " + origin.Url("/dup") + " HTTP/1.0\r\nContent-Length: 4\r\ncontent-length:  4\r\n\r\n";
    RawClient client = Exchange(head + "abcd");
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(origin.Received(), "POST /dup HTTP/1.0\r\nContent-Length: 4\r\ncontent-length:  4\r\n\r\nabcd");
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
    std::string answer;
};

void PrintTo(const RefusedBodyCase& c, std::ostream* os) { *os << c.name; }

class RefusedBody : public Forwarding, public ::testing::WithParamInterface<RefusedBodyCase> {};

const std::string kBadRequest = "HTTP/1.0 400 Bad Request\r\n\r\n";
const std::string kLengthRequired = "HTTP/1.0 411 Length Required\r\n\r\n";

const RefusedBodyCase kRefusedBodies[] = {
    {"NegativeLength", "Content-Length: -1\r\n", kBadRequest},
    {"PlusSign", "Content-Length: +5\r\n", kBadRequest},
    {"HexLength", "Content-Length: 0x10\r\n", kBadRequest},
    {"DollarHexLength", "Content-Length: $10\r\n", kBadRequest},
    {"Letters", "Content-Length: ten\r\n", kBadRequest},
    {"DigitsThenLetters", "Content-Length: 10abc\r\n", kBadRequest},
    {"EmptyLength", "Content-Length:\r\n", kBadRequest},
    {"InnerBlank", "Content-Length: 1 0\r\n", kBadRequest},
    {"ListOfLengths", "Content-Length: 5, 5\r\n", kBadRequest},
    {"Overflow", "Content-Length: 9223372036854775808\r\n", kBadRequest},
    {"DifferentDuplicates", "Content-Length: 5\r\nContent-Length: 6\r\n", kBadRequest},
    {"BadSecondDuplicate", "Content-Length: 5\r\nContent-Length: x\r\n", kBadRequest},
    {"TransferEncodingWithLength", "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n", kBadRequest},
    {"LengthWithTransferEncoding", "Content-Length: 5\r\ntransfer-encoding: identity\r\n", kBadRequest},
    {"TransferEncodingAlone", "Transfer-Encoding: chunked\r\n", kLengthRequired},
    {"TransferEncodingAnyCase", "TRANSFER-ENCODING: gzip, chunked\r\n", kLengthRequired},
};

INSTANTIATE_TEST_SUITE_P(Table, RefusedBody, ::testing::ValuesIn(kRefusedBodies), CaseName());

TEST_P(RefusedBody, IsAnsweredAndNothingIsForwarded) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\n\r\n"));
    RawClient client = Exchange("POST " + origin.Url("/x") + " HTTP/1.1\r\nHost: h\r\n" + GetParam().headers +
                                "\r\n5\r\nhello\r\n0\r\n\r\n");
    EXPECT_EQ(client.Received(), GetParam().answer);
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
    ASSERT_TRUE(client.Send("POST http://127.0.0.1:1/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"));
    std::thread sender([&client, &body] { client.Send(body); });
    const bool ended = client.ReadToClose();
    sender.join();
    EXPECT_TRUE(ended);
    EXPECT_EQ(client.Received(), kLengthRequired);
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
    EXPECT_EQ(origin.Received(), "POST /big HTTP/1.0\r\nContent-Length: 3000000000\r\n\r\nsmall");
}

// --------------------------------------------- the command server's side

TEST_F(Forwarding, UnknownMethodsAreAnsweredWith400AndTheLineKeepingTheConnection) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    RawClient client = Connect();
    ASSERT_TRUE(client.Send("OPTIONS http://example.test/ HTTP/1.1\r\n"));
    ASSERT_TRUE(client.ReadMarker("\r\n"));
    EXPECT_EQ(client.Received(), "400 OPTIONS http://example.test/ HTTP/1.1\r\n");
    client.Clear();
    // Its header lines are lines like any other; empty lines are skipped.
    ASSERT_TRUE(client.Send("Host: example.test\r\n\r\nPUT /x HTTP/1.0\r\n"));
    ASSERT_TRUE(client.ReadCount(std::string("400 Host: example.test\r\n400 PUT /x HTTP/1.0\r\n").size()));
    EXPECT_EQ(client.Received(), "400 Host: example.test\r\n400 PUT /x HTTP/1.0\r\n");
    EXPECT_FALSE(client.PeerClosed());
    client.Clear();
    // The connection still serves a proper request afterwards.
    ASSERT_TRUE(client.Send("GET " + origin.Url("/after") + " HTTP/1.0\r\n\r\n"));
    EXPECT_TRUE(client.ReadToClose());
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
}

TEST_F(Forwarding, HelpListsTheMethodsAndKeepsTheConnection) {
    const std::string listing =
        "100 Help follows\r\n"
        "CONNECT\r\n\r\n"
        "GET\r\n\r\n"
        "HEAD\r\n\r\n"
        "Help\r\n  Displays commands that the servers supports.\r\n\r\n"
        "POST\r\n\r\n"
        ".\r\n";
    RawClient client = Connect();
    for (const char* help : {"HELP\r\n", "help\r\n"}) {
        client.Clear();
        ASSERT_TRUE(client.Send(help));
        ASSERT_TRUE(client.ReadMarker("\r\n.\r\n")) << client.Received();
        EXPECT_EQ(client.Received(), listing);
        EXPECT_FALSE(client.PeerClosed());
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
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nContent-Length: 2000000000\r\n\r\nfirst bytes");
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
    BlackHole hole;
    const std::string target = "127.0.0.1:" + std::to_string(hole.Port());
    for (const std::string& request :
         {"GET http://" + target + "/ HTTP/1.0\r\n\r\n", "CONNECT " + target + " HTTP/1.1\r\n\r\n"}) {
        const auto start = Clock::now();
        RawClient client = Exchange(request, 8s);
        EXPECT_EQ(client.Received(), "") << request;
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
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\n\r\nslow but fine");
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
    EXPECT_TRUE(client.ClosesWithoutData(8s));
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
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n");
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

}  // namespace
}  // namespace proxytest

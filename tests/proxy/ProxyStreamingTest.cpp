// Tests of bodies and the hold limit through a running proxy: held and
// relayed answers at the limit's edge, uploads relayed to the origin, the
// interim answer of a client that waits before its body, faults in the
// middle of a relayed body, and deactivation during one.
#include <gtest/gtest.h>

#include <atomic>
#include <ostream>
#include <string>

#include "proxy/HTTPProxyServer.h"
#include "tests/proxy/ProxyTestSupport.h"

namespace proxytest {
namespace {

constexpr int64_t kLimit = 4096;

class Streaming : public ProxyTest {
protected:
    void SetUp() override {
        proxy_.SetHoldLimit(kLimit);
        RecordDocuments();
    }

    static std::string Head(const char* status, int64_t length) {
        return std::string("HTTP/1.0 ") + status + "\r\n" +
               (length >= 0 ? "Content-Length: " + std::to_string(length) + "\r\n" : "") + "\r\n";
    }

    bool NoContextLeft() {
        return WaitUntil([&] { return proxy_.LiveContexts().Count() == 0; });
    }
};

// ------------------------------------------------------- the limit's edge

struct EdgeCase {
    std::string name;
    size_t size;
    bool withLength;
};

void PrintTo(const EdgeCase& c, std::ostream* os) { *os << c.name; }

class HoldEdge : public Streaming, public ::testing::WithParamInterface<EdgeCase> {};

// Held or relayed, the client gets the same bytes and the same orderly end,
// and the document is reported once with its size; only a held body is
// shown to the handler.
TEST_P(HoldEdge, SameAnswerAndOneDocumentEitherWay) {
    StartProxy();
    const EdgeCase& c = GetParam();
    const std::string body = PatternBytes(c.size, 3);
    const std::string head = Head("200 OK", c.withLength ? static_cast<int64_t>(c.size) : -1);
    TOriginServer origin(TOriginServer::Reply(head + body));
    RawClient client = Exchange("GET " + origin.Url("/edge") + " HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(SameBytes(client.Received(), AsRelayed(head) + body));
    EXPECT_EQ(client.State(), ReadState::Closed);
    const std::vector<DocumentCall> documents = Documents();
    ASSERT_EQ(documents.size(), 1u);
    EXPECT_EQ(documents[0].size, c.size);
    const bool held = static_cast<int64_t>(c.size) <= kLimit;
    EXPECT_EQ(documents[0].body.size(), held ? c.size : 0u);
    EXPECT_TRUE(SameBytes(documents[0].body, (held ? body : "")));
}

INSTANTIATE_TEST_SUITE_P(Table, HoldEdge,
                         ::testing::Values(EdgeCase{"LengthBelow", kLimit - 1, true},
                                           EdgeCase{"LengthAt", kLimit, true},
                                           EdgeCase{"LengthAbove", kLimit + 1, true},
                                           EdgeCase{"UntilCloseBelow", kLimit - 1, false},
                                           EdgeCase{"UntilCloseAt", kLimit, false},
                                           EdgeCase{"UntilCloseAbove", kLimit + 1, false}),
                         CaseName());

// ------------------------------------------------------------------ uploads

TEST_F(Streaming, UploadPastTheLimitReachesTheOriginByteForByte) {
    StartProxy();
    const std::string body = PatternBytes(3 * 1024 * 1024 + 17, 5);
    TOriginServer origin(TOriginServer::Reply(Head("200 OK", 2) + "ok"));
    const std::string head =
        "POST " + origin.Url("/up") + " HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    RawClient client = Exchange(head + body);
    EXPECT_EQ(client.Received(), AsRelayed(Head("200 OK", 2)) + "ok");
    const std::string got = origin.Received();
    const std::string sentHead = "POST /up HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(origin.Port()) +
                                 "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    ASSERT_EQ(got.size(), sentHead.size() + body.size());
    EXPECT_EQ(got.substr(0, sentHead.size()), sentHead);
    EXPECT_TRUE(SameBytes(std::string_view(got).substr(sentHead.size()), body));
}

struct ContinueCase {
    std::string name;
    std::string protocol;
    size_t bodySize;
    bool authenticating;
    std::string interim;  // what the client gets before it sends its body
};

void PrintTo(const ContinueCase& c, std::ostream* os) { *os << c.name; }

class ExpectContinue : public Streaming, public ::testing::WithParamInterface<ContinueCase> {};

const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

// curl waits a second for the interim answer before it sends a larger body;
// whoever may send one gets it at once, and nobody else does.
TEST_P(ExpectContinue, InterimAnswerOnlyForThoseWhoMaySendTheirBody) {
    const ContinueCase& c = GetParam();
    if (c.authenticating) {
        proxy_.SetCredentials("user", "secret");
    }
    StartProxy();
    TOriginServer origin(TOriginServer::Reply(Head("200 OK", 2) + "ok"));
    RawClient client = Connect();
    ASSERT_TRUE(client.Send("POST " + origin.Url("/form") + " " + c.protocol + "\r\nContent-Length: " +
                            std::to_string(c.bodySize) + "\r\nExpect: 100-continue\r\n\r\n"));
    if (c.authenticating) {
        EXPECT_TRUE(client.ReadMarker("</html>\n", 2s));
        EXPECT_TRUE(IsAuthRequired(client.Received()));
    } else if (c.interim.empty()) {
        client.ReadUntil([](const std::string& s) { return !s.empty(); }, 700ms);
        EXPECT_EQ(client.Received(), "");
    } else {
        EXPECT_TRUE(client.ReadCount(c.interim.size(), 2s));
        EXPECT_EQ(client.Received(), c.interim);
    }
    client.Clear();
    const std::string body = PatternBytes(c.bodySize, 6);
    client.Send(body);
    EXPECT_TRUE(client.ReadToClose());
    if (c.authenticating) {
        EXPECT_EQ(client.Received(), "");  // the refusal came first
        EXPECT_EQ(origin.StopAndCount(), 0u);
        return;
    }
    EXPECT_EQ(client.Received(), AsRelayed(Head("200 OK", 2)) + "ok");
    const std::string got = origin.Received();
    EXPECT_EQ(got.find("Expect"), std::string::npos) << "answered here, not passed on";
    EXPECT_TRUE(SameBytes(std::string_view(got).substr(got.size() - std::min(got.size(), body.size())), body));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExpectContinue,
    ::testing::Values(ContinueCase{"HeldBody", "HTTP/1.1", 10, false, kContinue},
                      ContinueCase{"RelayedBody", "HTTP/1.1", 100 * 1024, false, kContinue},
                      ContinueCase{"Http10ClientGetsNone", "HTTP/1.0", 10, false, ""},
                      ContinueCase{"RefusedClientGets407Instead", "HTTP/1.1", 10, true, ""}),
    CaseName());

// ----------------------------------------------------- faults mid-body

TEST_F(Streaming, OriginClosingMidBodyResetsTheClient) {
    StartProxy();
    const std::string part = PatternBytes(20000, 7);
    TOriginServer origin([&](TOriginConnection& c) {
        c.ReadHead();
        c.Send(Head("200 OK", 100000) + part);
    });
    RawClient client = Exchange("GET " + origin.Url("/cut") + " HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(SameBytes(client.Received(), AsRelayed(Head("200 OK", 100000)) + part));
    EXPECT_EQ(client.State(), CutOff());
    EXPECT_TRUE(NoContextLeft());
    EXPECT_TRUE(Documents().empty());
}

// Without a length an orderly end would make the part look whole.
TEST_F(Streaming, OriginFallingSilentMidBodyResetsTheClientAtTheIdleLimit) {
    proxy_.SetIdleTimeout(1);
    StartProxy();
    const std::string part = PatternBytes(20000, 8);
    TOriginServer origin([&](TOriginConnection& c) {
        c.ReadHead();
        c.Send(Head("200 OK", -1) + part);
        c.ReadToClose(20s);
    });
    const auto start = Clock::now();
    RawClient client = Exchange("GET " + origin.Url("/feed") + " HTTP/1.0\r\n\r\n", 8s);
    EXPECT_LT(Clock::now() - start, 4s);
    EXPECT_TRUE(SameBytes(client.Received(), AsRelayed(Head("200 OK", -1)) + part));
    EXPECT_EQ(client.State(), CutOff());
    EXPECT_TRUE(origin.WaitFinished(1, 3s)) << "the origin's connection was left open";
    EXPECT_TRUE(Documents().empty());
}

// A client that leaves and one that only half-closes look alike until the
// proxy writes to them: the origin's next bytes find the client gone.
TEST_F(Streaming, ClientLeavingMidBodyEndsTheOriginAtItsNextBytes) {
    StartProxy();  // idle limit of minutes: only the client's leaving can end this
    const std::string part = PatternBytes(20000, 9);
    std::atomic<bool> left{false};
    TOriginServer origin([&](TOriginConnection& c) {
        c.ReadHead();
        c.Send(Head("200 OK", -1) + part);
        WaitUntil([&] { return left.load(); });
        for (int i = 0; i < 100 && c.Send("more", 100ms); ++i) {
            c.ReadUntil([](const std::string&) { return false; }, 50ms);
        }
    });
    RawClient client = Connect();
    ASSERT_TRUE(client.Send("GET " + origin.Url("/feed") + " HTTP/1.0\r\n\r\n"));
    ASSERT_TRUE(client.ReadCount(AsRelayed(Head("200 OK", -1)).size() + part.size()));
    client.Close();
    left = true;
    EXPECT_TRUE(origin.WaitFinished(1, 3s)) << "the origin's connection was left open";
    EXPECT_TRUE(NoContextLeft());
    EXPECT_TRUE(Documents().empty());
}

TEST_F(Streaming, ClientLeavingMidUploadEndsTheOriginPromptly) {
    StartProxy();
    const std::string part = PatternBytes(20000, 10);
    TOriginServer origin([](TOriginConnection& c) { c.ReadToClose(20s); });
    RawClient client = Connect();
    const std::string head = "POST " + origin.Url("/up") + " HTTP/1.0\r\nContent-Length: 100000\r\n\r\n";
    ASSERT_TRUE(client.Send(head + part));
    ASSERT_TRUE(WaitUntil([&] { return origin.Connections() == 1; }));
    client.Close();
    EXPECT_TRUE(origin.WaitFinished(1, 3s)) << "the origin's connection was left open";
    // What the client sent before it left was passed on.
    EXPECT_TRUE(SameBytes(origin.Received(), "POST /up HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(origin.Port()) +
                                                 "\r\nContent-Length: 100000\r\n\r\n" + part));
    EXPECT_TRUE(NoContextLeft());
}

TEST_F(Streaming, DeactivationCutsARelayedBodyOff) {
    StartProxy();
    const std::string part = PatternBytes(20000, 11);
    TOriginServer origin([&](TOriginConnection& c) {
        c.ReadHead();
        c.Send(Head("200 OK", -1) + part);
        c.ReadToClose(20s);
    });
    RawClient client = Connect();
    ASSERT_TRUE(client.Send("GET " + origin.Url("/feed") + " HTTP/1.0\r\n\r\n"));
    ASSERT_TRUE(client.ReadCount(AsRelayed(Head("200 OK", -1)).size() + part.size()));
    const auto start = Clock::now();
    proxy_.SetActive(false);
    EXPECT_LT(Clock::now() - start, 3s);
    EXPECT_TRUE(client.ReadToClose());
    EXPECT_EQ(client.State(), CutOff());
    EXPECT_TRUE(Documents().empty());
}

}  // namespace
}  // namespace proxytest

// Tests of the CONNECT tunnel: the established answer, bytes both ways
// unchanged, the last burst before either side closes, targets that cannot
// be reached or have no usable port, the idle limit, and that bytes from
// either side are passed on without waiting for the other.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "proxy/HTTPProxyServer.h"
#include "tests/proxy/ProxyTestSupport.h"

namespace proxytest {
namespace {

using namespace std::string_literals;

const std::string kEstablished = "HTTP/1.0 200 Connection established\r\nProxy-agent: Vantrel/1.1\r\n\r\n";

class Tunnel : public ProxyTest {
protected:
    void SetUp() override { StartProxy(); }

    static std::string ConnectRequest(const TOriginServer& target) {
        return "CONNECT 127.0.0.1:" + std::to_string(target.Port()) +
               " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: t\r\n\r\n";
    }

    // Opens a tunnel and reads the established answer.
    RawClient Open(const TOriginServer& target, std::string_view early = {}) {
        RawClient client = Connect();
        EXPECT_TRUE(client.Send(ConnectRequest(target) + std::string(early)));
        EXPECT_TRUE(client.ReadCount(kEstablished.size()));
        EXPECT_EQ(client.Received().substr(0, kEstablished.size()), kEstablished);
        return client;
    }
};

TEST_F(Tunnel, AnswersExactlyAndCarriesBytesBothWays) {
    const std::string toTarget = "\x16\x03\x01 client hello \0\r\n\r\n"s + PatternBytes(5000, 11);
    const std::string toClient = "\x16\x03\x03 server hello \r\n.\r\n"s + PatternBytes(7000, 12);
    TOriginServer target([&](TOriginConnection& c) {
        if (c.ReadCount(toTarget.size())) {
            c.Send(toClient);
        }
        c.ReadToClose();
    });
    RawClient client = Connect();
    ASSERT_TRUE(client.Send(ConnectRequest(target)));
    ASSERT_TRUE(client.ReadCount(kEstablished.size()));
    EXPECT_EQ(client.Received(), kEstablished);  // nothing before or after the answer
    client.Clear();
    ASSERT_TRUE(client.Send(toTarget));
    ASSERT_TRUE(client.ReadCount(toClient.size()));
    EXPECT_TRUE(SameBytes(client.Received(), toClient));
    client.Close();
    ASSERT_TRUE(target.WaitFinished(1));
    EXPECT_TRUE(SameBytes(target.Received(), toTarget));
}

TEST_F(Tunnel, BytesSentWithTheRequestGoFirst) {
    TOriginServer target([](TOriginConnection& c) {
        c.ReadCount(5);
        c.Send("reply");
        c.ReadToClose();
    });
    RawClient client = Open(target, "EARLY");
    ASSERT_TRUE(client.ReadCount(kEstablished.size() + 5));
    EXPECT_EQ(client.Received(), kEstablished + "reply");
    client.Close();
    EXPECT_EQ(target.Received(), "EARLY");
}

TEST_F(Tunnel, TargetClosingRightAfterABurstDeliversAllOfIt) {
    const std::string burst = PatternBytes(256 * 1024, 21);
    TOriginServer target([&burst](TOriginConnection& c) {
        c.Send(burst);
        c.Close();
    });
    RawClient client = Open(target);
    EXPECT_TRUE(client.ReadToClose());
    EXPECT_EQ(client.State(), ReadState::Closed);
    EXPECT_EQ(client.Received().size(), kEstablished.size() + burst.size());
    EXPECT_TRUE(SameBytes(client.Received(), kEstablished + burst));
}

TEST_F(Tunnel, ClientClosingRightAfterABurstDeliversAllOfIt) {
    const std::string burst = PatternBytes(256 * 1024, 22);
    TOriginServer target([](TOriginConnection& c) { c.ReadToClose(); });
    RawClient client = Open(target);
    ASSERT_TRUE(client.Send(burst));
    client.Close();
    ASSERT_TRUE(target.WaitFinished(1));
    const std::string received = target.Received();
    EXPECT_EQ(received.size(), burst.size());
    EXPECT_TRUE(SameBytes(received, burst));
}

TEST_F(Tunnel, LargeTransfersInBothDirectionsAtOnce) {
    const std::string up = PatternBytes(2 * 1024 * 1024, 31);
    const std::string down = PatternBytes(2 * 1024 * 1024 + 5, 32);
    TOriginServer target([&down, &up](TOriginConnection& c) {
        std::thread writer([&c, &down] { c.Send(down); });
        c.ReadCount(up.size(), 20s);
        writer.join();
        c.ReadToClose();
    });
    RawClient client = Open(target);
    std::thread writer([&client, &up] { client.Send(up); });
    const bool all = client.ReadCount(kEstablished.size() + down.size(), 20s);
    writer.join();
    EXPECT_TRUE(all);
    EXPECT_TRUE(SameBytes(client.Received(), kEstablished + down));
    client.Close();
    ASSERT_TRUE(target.WaitFinished(1, 20s));
    EXPECT_TRUE(SameBytes(target.Received(), up));
}

// Each message from the target is sent only after the client has seen the
// previous one, through a path outside the tunnel: a relay that alternated
// between short waits on each side would hold every message back.
TEST_F(Tunnel, TargetBytesArePassedOnWithoutWaitingForTheClient) {
    constexpr int kMessages = 20;
    std::mutex lock;
    std::condition_variable changed;
    int seen = 0;
    TOriginServer target([&](TOriginConnection& c) {
        for (int i = 0; i < kMessages; ++i) {
            {
                std::unique_lock hold(lock);
                if (!changed.wait_for(hold, 5s, [&] { return seen == i; })) {
                    return;
                }
            }
            c.Send("m" + std::to_string(i) + ";");
        }
        c.ReadToClose();
    });
    RawClient client = Open(target);
    // The first message may come in the same read as the answer.
    std::string expected = kEstablished;
    const auto start = Clock::now();
    for (int i = 0; i < kMessages; ++i) {
        expected += "m" + std::to_string(i) + ";";
        ASSERT_TRUE(client.ReadCount(expected.size(), 5s)) << i;
        std::scoped_lock hold(lock);
        seen = i + 1;
        changed.notify_all();
    }
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(client.Received(), expected);
    // Alternating 100 ms waits would need about 2 s for these round trips.
    EXPECT_LT(elapsed, 1s) << std::chrono::duration_cast<milliseconds>(elapsed).count() << " ms";
    client.Close();
}

TEST_F(Tunnel, UnreachableTargetGets502) {
    for (const std::string& target :
         {"127.0.0.1:" + std::to_string(ClosedLoopbackPort()), std::string("no-such-host.invalid:443")}) {
        RawClient client = Exchange("CONNECT " + target + " HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(IsProxyAnswer(client.Received(), 502)) << target;
    }
}

TEST_F(Tunnel, TargetWithoutUsablePortUsesPort443) {
    if (SomethingListensOn(443)) {
        GTEST_SKIP() << "port 443 is served on this machine";
    }
    for (const char* target : {"127.0.0.1", "127.0.0.1:", "127.0.0.1:abc", "127.0.0.1: "}) {
        RawClient client = Exchange(std::string("CONNECT ") + target + " HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(IsProxyAnswer(client.Received(), 502)) << target;
        EXPECT_NE(client.Received().find("refused"), std::string::npos) << target;
    }
}

// The parameter ends at the first blank, so the one blank a port could
// carry is a tab; a control byte in the request line is refused outright,
// so that no peer reads the line otherwise than we do.
TEST_F(Tunnel, TabInThePortIsRefused) {
    TOriginServer target([](TOriginConnection& c) {
        c.Send("hi");
        c.ReadToClose();
    });
    RawClient client = Exchange("CONNECT 127.0.0.1:\t" + std::to_string(target.Port()) + " HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(IsProxyAnswer(client.Received(), 400));
    EXPECT_EQ(target.StopAndCount(), 0u);
}

TEST_F(Tunnel, TargetClosingWithoutDataEndsTheTunnel) {
    TOriginServer target([](TOriginConnection& c) { c.Close(); });
    RawClient client = Open(target);
    EXPECT_TRUE(client.ReadToClose());
    EXPECT_EQ(client.Received(), kEstablished);
}

class IdleTunnel : public ProxyTest {};

TEST_F(IdleTunnel, IdleLimitEndsTheTunnel) {
    proxy_.SetIdleTimeout(1);
    StartProxy();
    TOriginServer target([](TOriginConnection& c) { c.ReadToClose(); });
    RawClient client = Connect();
    ASSERT_TRUE(client.Send("CONNECT 127.0.0.1:" + std::to_string(target.Port()) + " HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(client.ReadCount(kEstablished.size()));
    const auto start = Clock::now();
    EXPECT_TRUE(client.ReadToClose(8s));
    EXPECT_GE(Clock::now() - start, 800ms);
    EXPECT_EQ(client.Received(), kEstablished);
    EXPECT_TRUE(target.WaitFinished(1));  // the target saw the tunnel close
}

TEST_F(IdleTunnel, TrafficKeepsTheTunnelOpenPastTheIdleLimit) {
    proxy_.SetIdleTimeout(1);
    StartProxy();
    TOriginServer target([](TOriginConnection& c) {
        // Echo every byte until the client closes.
        size_t echoed = 0;
        while (!c.PeerClosed()) {
            c.ReadUntil([echoed](const std::string& s) { return s.size() > echoed; }, 3s);
            const std::string all = c.Received();
            if (all.size() > echoed) {
                c.Send(std::string_view(all).substr(echoed));
                echoed = all.size();
            } else {
                break;
            }
        }
    });
    RawClient client = Connect();
    ASSERT_TRUE(client.Send("CONNECT 127.0.0.1:" + std::to_string(target.Port()) + " HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(client.ReadCount(kEstablished.size()));
    client.Clear();
    // 2.1 s in all, one byte every 300 ms: never idle for a whole second.
    std::string sent;
    for (int i = 0; i < 7; ++i) {
        sent += static_cast<char>('a' + i);
        ASSERT_TRUE(client.Send(sent.substr(sent.size() - 1)));
        ASSERT_TRUE(client.ReadCount(sent.size(), 2s)) << i;
        client.ReadUntil([](const std::string&) { return false; }, 300ms);
        ASSERT_FALSE(client.PeerClosed()) << "closed after " << i;
    }
    EXPECT_EQ(client.Received(), sent);
}

}  // namespace
// Through a parent proxy that wants its own credentials: a tunnel opened
// through it carries bytes both ways and lives on when the rules change
// under it (a reload), while the next request follows the new rules.
TEST_F(Tunnel, GoesThroughTheParentAndOutlivesARulesChange) {
    TIdHTTPProxyServer parent;
    TIdSocketHandle& binding = parent.Bindings().Add();
    binding.SetIP("127.0.0.1");
    binding.SetPort(0);
    parent.SetCredentials("p", "ppw");
    std::mutex usersLock;
    std::vector<std::string> users;  // who the parent served, request by request
    parent.OnRequestDone = [&](const TIdRequestRecord& record) {
        std::scoped_lock lock(usersLock);
        users.push_back(record.user + " " + std::to_string(record.status));
    };
    parent.SetActive(true);
    TIdProxyRules rules = *proxy_.Rules();
    rules.upstream.host = "127.0.0.1";
    rules.upstream.port = parent.Bindings()[0].Port();
    rules.upstream.user = "p";
    rules.upstream.password = "ppw";
    proxy_.SetRules(rules);

    TOriginServer target([](TOriginConnection& c) {
        for (size_t count : {5, 10}) {
            if (c.ReadCount(count)) {
                c.Send(c.Received().substr(count - 5, 5));
            }
        }
        c.ReadToClose();
    });
    RawClient client = Open(target);
    ASSERT_TRUE(client.Send("ping1"));
    ASSERT_TRUE(client.ReadCount(kEstablished.size() + 5));

    rules.upstream.password = "wrong";
    proxy_.SetRules(rules);
    RawClient refused = Exchange(ConnectRequest(target));
    EXPECT_TRUE(IsProxyAnswer(refused.Received(), 502)) << refused.Received();

    ASSERT_TRUE(client.Send("ping2"));
    ASSERT_TRUE(client.ReadCount(kEstablished.size() + 10));
    EXPECT_EQ(client.Received(), kEstablished + "ping1ping2");
    client.Close();
    ASSERT_TRUE(target.WaitFinished(1));
    EXPECT_EQ(target.Connections(), 1u);
    EXPECT_EQ(target.Received(), "ping1ping2");
    parent.SetActive(false);
    std::scoped_lock lock(usersLock);
    EXPECT_EQ(users, (std::vector<std::string>{"p 407", "p 200"}));
}

}  // namespace proxytest

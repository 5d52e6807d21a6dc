// Tests of proxy authentication: the Base64 decoder and the Basic credential
// check as tables, then the 407 answer on every guarded method, what reaches
// the origin with credentials, and a refusal surviving a client that is still
// sending its body.
#include <gtest/gtest.h>

#include <atomic>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "proxy/HTTPProxyServer.h"
#include "tests/proxy/ProxyTestSupport.h"

namespace proxytest {
namespace {

// ------------------------------------------------------------ the decoder

struct DecodeCase {
    const char* name;
    std::string input;
    std::string decoded;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class Base64Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Base64Decode, Decodes) {
    const DecodeCase& c = GetParam();
    EXPECT_EQ(DecodeBase64Text(c.input), c.decoded);
}

const DecodeCase kDecodeCases[] = {
    {"Empty", "", ""},
    {"FullGroups", "dXNlcjpwYXNz", "user:pass"},
    {"OnePad", "YWI=", "ab"},
    {"TwoPads", "YQ==", "a"},
    {"OnePadAfterGroups", "dXNlcjpwYXNzMQ==", "user:pass1"},
    {"AllValues", "+/+/", "\xFB\xFF\xBF"},
    {"BlanksSkipped", "dXNl cjpw  YXNz", "user:pass"},
    {"LineEndsAndTabsSkipped", "dXNl\r\ncjpw\tYXNz\n", "user:pass"},
    {"ForeignCharactersSkipped", "d-X_N*l\xC3\xA9" "cjpwYXNz", "user:pass"},
    {"IncompleteFinalGroupDropped", "YWJjZA", "abc"},
    {"SingleLeftOverDropped", "YWJjZ", "abc"},
    {"PadInThirdPlaceStops", "YQ==YWJj", "a"},
    {"PadInFourthPlaceStops", "YWI=YWJj", "ab"},
    // A pad in the first place counts as 0xFFFF: 0xFC | (q1 >> 4), then the
    // other two characters as usual ("Q" = 16, "U" = 20, "J" = 9).
    {"PadInFirstPlace", "=QUJ", std::string("\xFD\x05\x09", 3)},
    // In the second place: 0xFF first, 0xF0 | (q2 >> 2) second.
    {"PadInSecondPlace", "Q=UJ", std::string("\xFF\xF5\x09", 3)},
    {"PadInFirstAndThirdPlace", "=A=A", "\xFC"},
    {"PadInSecondAndThirdPlace", "A==A", "\xFF"},
    {"AllPads", "====", "\xFF"},
    {"NulByteKept", "AGE=", std::string("\0a", 2)},
};

INSTANTIATE_TEST_SUITE_P(Table, Base64Decode, ::testing::ValuesIn(kDecodeCases),
                         CaseName());

TEST(Base64DecodeRoundTrip, EveryLengthAndByteValue) {
    for (size_t length = 0; length <= 40; ++length) {
        const std::string data = PatternBytes(length, static_cast<uint32_t>(length));
        EXPECT_EQ(DecodeBase64Text(Base64(data)), data) << "length " << length;
    }
}

// ------------------------------------------------------ credential check

struct AuthCase {
    const char* name;
    std::string value;
    bool authorized;
};

void PrintTo(const AuthCase& c, std::ostream* os) { *os << c.name; }

class ProxyAuthorization : public ::testing::TestWithParam<AuthCase> {};

// Every case is checked against user "alice", password "s3cret:x".
TEST_P(ProxyAuthorization, Check) {
    const AuthCase& c = GetParam();
    EXPECT_EQ(IsProxyAuthorized(c.value, "alice", "s3cret:x"), c.authorized) << c.value;
}

const std::string kAlice = Base64("alice:s3cret:x");

const AuthCase kAuthCases[] = {
    {"Exact", "Basic " + kAlice, true},
    {"SchemeLowerCase", "basic " + kAlice, true},
    {"SchemeUpperCase", "BASIC " + kAlice, true},
    {"SchemeMixedCase", "bAsIc " + kAlice, true},
    {"BlanksAround", "  Basic   " + kAlice + "  ", true},
    {"Base64SplitByBlanks", "Basic " + kAlice.substr(0, 5) + " " + kAlice.substr(5, 7) + "  " + kAlice.substr(12), true},
    {"Base64SplitByLineEnd", "Basic " + kAlice.substr(0, 8) + "\r\n" + kAlice.substr(8), true},
    {"PasswordColonIsPartOfPassword", "Basic " + Base64("alice:s3cret:x"), true},
    {"PasswordMissingItsTail", "Basic " + Base64("alice:s3cret"), false},
    {"UserDiffersInCase", "Basic " + Base64("Alice:s3cret:x"), false},
    {"PasswordDiffersInCase", "Basic " + Base64("alice:S3cret:x"), false},
    {"WrongUser", "Basic " + Base64("bob:s3cret:x"), false},
    {"NoColon", "Basic " + Base64("alice"), false},
    {"ExtraTrailingByte", "Basic " + Base64("alice:s3cret:x "), false},
    {"OtherScheme", "Digest " + kAlice, false},
    {"SchemeWithoutBlank", "Basic\t" + kAlice, false},
    {"SchemeOnly", "Basic", false},
    {"MissingHeader", "", false},
    {"RawCredentialsNotEncoded", "Basic alice:s3cret:x", false},
};

INSTANTIATE_TEST_SUITE_P(Table, ProxyAuthorization, ::testing::ValuesIn(kAuthCases),
                         CaseName());

TEST(ProxyAuthorizationEdges, EmptyPasswordMatchesUserWithoutColon) {
    EXPECT_TRUE(IsProxyAuthorized("Basic " + Base64("alice"), "alice", ""));
    EXPECT_TRUE(IsProxyAuthorized("Basic " + Base64("alice:"), "alice", ""));
    EXPECT_FALSE(IsProxyAuthorized("Basic " + Base64("alice:x"), "alice", ""));
}

TEST(EqualInConstantTimeTest, EqualOnlyWhenEveryByteAndTheLengthAgree) {
    EXPECT_TRUE(EqualInConstantTime("s3cret:x", "s3cret:x"));
    EXPECT_TRUE(EqualInConstantTime("", ""));
    EXPECT_FALSE(EqualInConstantTime("s3cret:y", "s3cret:x"));
    EXPECT_FALSE(EqualInConstantTime("s3cret", "s3cret:x"));
    EXPECT_FALSE(EqualInConstantTime("s3cret:xs3cret:x", "s3cret:x"));  // the secret twice
    EXPECT_FALSE(EqualInConstantTime("", "s3cret:x"));
    EXPECT_FALSE(EqualInConstantTime("x", ""));
}

// Steps of client addresses against one throttle, in order: a failed
// check (fail), or a request for a check and the wait it is told (-1: no
// check at all).
struct ThrottleStep {
    const char* address;
    uint32_t atMs;  // after the start
    bool fail;
    int32_t maxWaitMs;
    int32_t told;
};

TEST(LoginThrottleTest, RationsTheChecksOfAnAddressThatKeepsFailing) {
    constexpr int32_t Turn = TIdLoginThrottle::DelayMs;
    constexpr uint32_t Last = TIdLoginThrottle::FailuresBeforeDelay - 1;  // time of the last failure
    std::vector<ThrottleStep> steps;
    for (uint32_t i = 0; i < Last; ++i) {
        steps.push_back({"10.0.0.1", i, false, Turn, 0});
        steps.push_back({"10.0.0.1", i, true, 0, 0});
    }
    const std::vector<ThrottleStep> rationed = {
        {"10.0.0.1", Last, false, Turn, 0},              // the last check before the rationing
        {"10.0.0.1", Last, true, 0, 0},                  // ... fails: the next turn is a turn away
        {"10.0.0.1", Last, false, Turn, Turn},           // waits for it
        {"10.0.0.1", Last + 1, false, Turn, -1},         // the turn after is too far: unchecked
        {"10.0.0.1", Last + 1, false, 3 * Turn, 2 * Turn - 1},
        {"10.0.0.2", Last + 1, false, 0, 0},             // another address is never slowed
        {"10.0.0.1", Last + 3 * Turn, false, 0, 0},      // a turn that has come
        {"10.0.0.1", Last + 3 * Turn + 1, false, 500, -1},
        {"10.0.0.1", Last + TIdLoginThrottle::QuietMs, false, 0, 0},  // quiet for a while
    };
    steps.insert(steps.end(), rationed.begin(), rationed.end());
    TIdLoginThrottle throttle;
    const uint32_t start = 4000000000U;  // the tick count wraps on the way
    for (size_t i = 0; i < steps.size(); ++i) {
        const ThrottleStep& step = steps[i];
        if (step.fail) {
            throttle.Failed(step.address, start + step.atMs);
        } else {
            EXPECT_EQ(throttle.Admit(step.address, start + step.atMs, step.maxWaitMs), step.told)
                << "step " << i << " at " << step.atMs;
        }
    }
    // Many addresses at once cannot make it hold more than its bound.
    for (int i = 0; i < 3 * static_cast<int>(TIdLoginThrottle::MaxTracked); ++i) {
        throttle.Failed("192.0.2." + std::to_string(i), start + static_cast<uint32_t>(i));
    }
    EXPECT_LE(throttle.Tracked(), TIdLoginThrottle::MaxTracked);
}

// ------------------------------------------------- the proxy's answer

class AuthProxy : public ProxyTest {
protected:
    void SetUp() override {
        proxy_.SetCredentials("alice", "s3cret:x");
        StartProxy();
    }
};

struct GuardedCase {
    const char* name;
    std::string method;
    std::string extraHeaders;  // lines, each ended by CR LF
    std::string body;
    bool connect;              // target as host:port
};

void PrintTo(const GuardedCase& c, std::ostream* os) { *os << c.name; }

class GuardedMethod : public AuthProxy, public ::testing::WithParamInterface<GuardedCase> {
protected:
    std::string Request(const TOriginServer& origin, const std::string& credentials) const {
        const GuardedCase& c = GetParam();
        const std::string target =
            c.connect ? "127.0.0.1:" + std::to_string(origin.Port()) : origin.Url("/guarded");
        return c.method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + c.extraHeaders + credentials +
               "\r\n" + c.body;
    }
};

const GuardedCase kGuardedCases[] = {
    {"Get", "GET", "", "", false},
    {"Head", "HEAD", "", "", false},
    {"PostWithoutBody", "POST", "", "", false},
    {"PostWithBody", "POST", "Content-Length: 5\r\n", "hello", false},
    {"Connect", "CONNECT", "", "", true},
    {"LowerCaseMethod", "get", "", "", false},
};

INSTANTIATE_TEST_SUITE_P(Methods, GuardedMethod, ::testing::ValuesIn(kGuardedCases),
                         CaseName());

TEST_P(GuardedMethod, WithoutCredentialsAnswers407AndNeverContactsOrigin) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\n\r\nsecret"));
    RawClient client = Exchange(Request(origin, ""));
    EXPECT_TRUE(IsAuthRequired(client.Received()));
    EXPECT_EQ(client.State(), ReadState::Closed);
    client.Close();
    ASSERT_TRUE(WaitUntil([&] { return proxy_.LiveContexts().Count() == 0; }));
    EXPECT_EQ(origin.StopAndCount(), 0u);
}

TEST_P(GuardedMethod, WrongCredentialsAnswer407) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\n\r\nsecret"));
    for (const std::string& value : {"Basic " + Base64("alice:wrong"), "Basic " + Base64("ALICE:s3cret:x"),
                                     "Digest " + Base64("alice:s3cret:x"), std::string("Basic")}) {
        RawClient client = Exchange(Request(origin, "Proxy-Authorization: " + value + "\r\n"));
        EXPECT_TRUE(IsAuthRequired(client.Received())) << value;
    }
    ASSERT_TRUE(WaitUntil([&] { return proxy_.LiveContexts().Count() == 0; }));
    EXPECT_EQ(origin.StopAndCount(), 0u);
}

TEST_P(GuardedMethod, ValidCredentialsInAnyHeaderCaseAreServed) {
    const GuardedCase& c = GetParam();
    TOriginServer origin([&c](TOriginConnection& conn) {
        if (c.connect) {
            conn.Send("tunnel-open");
            conn.ReadToClose();
        } else {
            TOriginServer::Reply("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok")(conn);
        }
    });
    RawClient client = Connect();
    ASSERT_TRUE(client.Send(Request(origin, "proxy-authorization: basic " + kAlice + "\r\n")));
    if (c.connect) {
        EXPECT_TRUE(client.ReadMarker("tunnel-open"));
        EXPECT_EQ(client.Received(),
                  "HTTP/1.0 200 Connection established\r\nProxy-agent: Vantrel/1.1\r\n\r\ntunnel-open");
    } else {
        EXPECT_TRUE(client.ReadToClose());
        EXPECT_EQ(client.Received().rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << client.Received();
    }
    client.Close();
    EXPECT_TRUE(origin.WaitFinished(1));
    EXPECT_EQ(origin.Connections(), 1u);
}

// ----------------------------------------- what the origin gets to see

TEST_F(AuthProxy, CredentialsAreDroppedAndEveryOtherLineKeepsItsPlace) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 204 No Content\r\n\r\n"));
    const std::string head = "GET " + origin.Url("/a?b=c") + " HTTP/1.1\r\n" +
                             "Host: 127.0.0.1\r\n"
                             "X-First: 1\r\n"
                             "PROXY-AUTHORIZATION: Basic " + kAlice + "\r\n"
                             "X-Proxy-Authorization-Like: stays\r\n"
                             "Accept: */*\r\n"
                             "\r\n";
    RawClient client = Exchange(head);
    EXPECT_EQ(client.Received(), "HTTP/1.0 204 No Content\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(origin.Received(),
              "GET /a?b=c HTTP/1.0\r\n"
              "Host: 127.0.0.1:" + std::to_string(origin.Port()) + "\r\n"
              "X-First: 1\r\n"
              "X-Proxy-Authorization-Like: stays\r\n"
              "Accept: */*\r\n"
              "\r\n");
}

TEST_F(AuthProxy, PostBodyFollowsTheHeadWithoutCredentials) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n"));
    RawClient client = Exchange("POST " + origin.Url("/form") + " HTTP/1.1\r\n" +
                                "Proxy-Authorization: Basic " + kAlice + "\r\n" +
                                "Content-Length: 7\r\n"
                                "\r\n"
                                "a=1&b=2");
    EXPECT_EQ(client.Received(), "HTTP/1.0 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(origin.Received(), "POST /form HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(origin.Port()) +
                                     "\r\nContent-Length: 7\r\n\r\na=1&b=2");
}

class OpenProxy : public ProxyTest {
protected:
    void SetUp() override { StartProxy(); }
};

TEST_F(OpenProxy, WithoutAuthenticationCredentialsPassUnchanged) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 204 No Content\r\n\r\n"));
    const std::string headers = "Proxy-Authorization: Basic " + Base64("someone:else") + "\r\n";
    RawClient client = Exchange("GET " + origin.Url("/") + " HTTP/1.0\r\n" + headers + "Host: h\r\n\r\n");
    EXPECT_EQ(client.Received(), "HTTP/1.0 204 No Content\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(origin.Received(),
              "GET / HTTP/1.0\r\n" + headers + "Host: 127.0.0.1:" + std::to_string(origin.Port()) + "\r\n\r\n");
}

// ------------------------------------------------------ password guessing

// One address guesses: past ten failures its checks are rationed to one a
// second, in sequence and in parallel alike, while a client at another
// address is served, and refused, at once.
TEST_F(AuthProxy, GuessingIsSlowedForTheGuesserOnly) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    auto ask = [&](const std::string& from, const std::string& credentials) {
        RawClient client(port_, from);
        EXPECT_TRUE(client.Send("GET " + origin.Url("/") + " HTTP/1.0\r\nProxy-Authorization: Basic " +
                                Base64(credentials) + "\r\n\r\n"));
        const auto start = Clock::now();
        EXPECT_TRUE(client.ReadToClose());
        return std::make_pair(client.Received(), Clock::now() - start);
    };
    for (int i = 0; i < TIdLoginThrottle::FailuresBeforeDelay; ++i) {
        const auto [answer, took] = ask("127.0.0.1", "alice:guess" + std::to_string(i));
        EXPECT_TRUE(IsAuthRequired(answer));
        EXPECT_LT(took, 500ms) << "attempt " << i;
    }
    const auto [late, lateTook] = ask("127.0.0.1", "alice:late");
    EXPECT_TRUE(IsAuthRequired(late));
    EXPECT_GE(lateTook, 900ms) << "a guess in sequence waits for its turn";

    // 200 guesses at once, every tenth of them right: were each checked,
    // the right ones would all be served.
    constexpr int Guesses = 200;
    std::atomic<int> served{0};
    std::atomic<int> refused{0};
    const auto start = Clock::now();
    std::vector<std::thread> guessers;
    for (int i = 0; i < Guesses; ++i) {
        guessers.emplace_back([&, i] {
            const auto [answer, took] = ask("127.0.0.1", i % 10 == 0 ? "alice:s3cret:x" : "alice:no" + std::to_string(i));
            (IsAuthRequired(answer) ? refused : served)++;
        });
    }
    std::this_thread::sleep_for(100ms);  // while the guesses are under way
    const auto [right, rightTook] = ask("127.0.0.2", "alice:s3cret:x");
    EXPECT_EQ(right, "HTTP/1.0 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
    EXPECT_LT(rightTook, 500ms);
    const auto [wrong, wrongTook] = ask("127.0.0.2", "alice:wrong");
    EXPECT_TRUE(IsAuthRequired(wrong));
    EXPECT_LT(wrongTook, 500ms);
    for (std::thread& guesser : guessers) {
        guesser.join();
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
    EXPECT_EQ(served + refused, Guesses);
    EXPECT_LE(served, seconds + 2) << "checks went through faster than one a second";
}

// --------------------------------------- a refusal while the body flows

// The client declares a large body and keeps sending it after the 407; the
// answer must still be readable, followed by an orderly end of stream rather
// than a reset.
TEST_F(AuthProxy, RefusalReachesClientThatIsStillSendingItsBody) {
    TOriginServer origin(TOriginServer::Reply("HTTP/1.0 200 OK\r\n\r\n"));
    const std::string body = PatternBytes(600 * 1024, 7);
    RawClient client = Connect();
    ASSERT_TRUE(client.Send("POST " + origin.Url("/upload") + " HTTP/1.1\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\n\r\n"));
    std::thread sender([&client, &body] { client.Send(body); });
    const bool ended = client.ReadToClose();
    sender.join();
    EXPECT_TRUE(ended);
    EXPECT_TRUE(IsAuthRequired(client.Received()));
    EXPECT_EQ(client.State(), ReadState::Closed);
    client.Close();
    ASSERT_TRUE(WaitUntil([&] { return proxy_.LiveContexts().Count() == 0; }));
    EXPECT_EQ(origin.StopAndCount(), 0u);
}

}  // namespace
}  // namespace proxytest

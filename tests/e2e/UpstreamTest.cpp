// UpstreamTest: the real program chained to a second one as its parent
// proxy, which wants credentials of its own. Requests and tunnels go
// through the parent unless Direct names their destination; the parent's
// refusals reach the client as the parent sent them, except its 407; and
// the parent's credentials reach the parent only.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>

#include "tests/support/Answers.h"
#include "tests/support/LoopbackSocket.h"
#include "tests/support/OriginServer.h"
#include "tests/support/Program.h"

namespace {

using namespace vtltest;

// "parent:ppw" as Basic credentials, as the child sends them.
const std::string ParentCredentials = "cGFyZW50OnBwdw==";

class UpstreamTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        origin_ = std::make_unique<TOriginServer>();
        directOrigin_ = std::make_unique<TOriginServer>(TOriginOptions{"127.0.0.2"});
        parent_ = std::make_unique<TProgram>();
        TProxySettings parent;
        parent.user = "parent";
        parent.password = "ppw";
        parent.moreGeneral = "LogFile=parent.log\n";
        parent.moreIni = "[Access]\nDeny=127.0.0.3\n";
        std::string error;
        ASSERT_TRUE(parent_->StartServing(parent, error)) << error;
        child_ = StartChild("ppw");
        ASSERT_NE(child_, nullptr);
    }

    static void TearDownTestSuite() {
        child_.reset();
        parent_.reset();
        directOrigin_.reset();
        origin_.reset();
    }

    static std::unique_ptr<TProgram> StartChild(const std::string& parentPassword) {
        auto child = std::make_unique<TProgram>();
        TProxySettings settings;
        settings.moreIni = "[Upstream]\nProxy=127.0.0.1:" + std::to_string(parent_->Port()) +
                           "\nUser=parent\nPassword=" + parentPassword + "\nDirect=.direct.invalid, 127.0.0.2\n";
        std::string error;
        EXPECT_TRUE(child->StartServing(settings, error)) << error;
        return error.empty() ? std::move(child) : nullptr;
    }

    // Sends request through the program; for a tunnel that opens, a GET
    // through it. Everything received until the end.
    static std::string Ask(TProgram& program, std::string request) {
        for (const auto& [key, port] : {std::pair{"{O}", origin_->Port()}, std::pair{"{D}", directOrigin_->Port()}}) {
            for (size_t at = request.find(key); at != std::string::npos; at = request.find(key)) {
                request.replace(at, 3, std::to_string(port));
            }
        }
        TLoopbackSocket client;
        if (!client.Connect(program.Port()) || !client.SendAll(request, After(Ms(5000)))) {
            return "<no connection>";
        }
        std::string got;
        TEnd end = TEnd::Closed;
        if (request.rfind("CONNECT", 0) == 0 && client.ReadUntil(got, "\r\n\r\n", After(Ms(5000)), end) &&
            got.rfind("HTTP/1.0 200 ", 0) == 0) {
            client.SendAll("GET / HTTP/1.0\r\n\r\n", After(Ms(5000)));
            client.ReadUntil(got, TOriginServer::OriginGreeting, After(Ms(5000)), end);
            return got;
        }
        client.ReadToEnd(got, After(Ms(10000)));
        return got;
    }

    static size_t ParentLogLines() {
        const std::string log = ReadWholeFile(parent_->Directory() + "/parent.log");
        return static_cast<size_t>(std::count(log.begin(), log.end(), '\n'));
    }

    static std::unique_ptr<TOriginServer> origin_;
    static std::unique_ptr<TOriginServer> directOrigin_;
    static std::unique_ptr<TProgram> parent_;
    static std::unique_ptr<TProgram> child_;
};

std::unique_ptr<TOriginServer> UpstreamTest::origin_;
std::unique_ptr<TOriginServer> UpstreamTest::directOrigin_;
std::unique_ptr<TProgram> UpstreamTest::parent_;
std::unique_ptr<TProgram> UpstreamTest::child_;

struct TChainCase {
    const char* name;
    std::string request;  // "{O}": the origin's port (127.0.0.1); "{D}": the direct one's (127.0.0.2)
    int status;           // of the answer the client gets
    std::string body;     // what its answer ends with
    bool viaParent;       // whether the parent logs it
};

void PrintTo(const TChainCase& chain, std::ostream* out) { *out << chain.name; }

class UpstreamChainTest : public UpstreamTest, public ::testing::WithParamInterface<TChainCase> {};

TEST_P(UpstreamChainTest, GoesThroughTheParentUnlessDirect) {
    const TChainCase& chain = GetParam();
    const size_t parentLines = ParentLogLines();
    const size_t before = origin_->Connections() + directOrigin_->Connections();
    const std::string got = Ask(*child_, chain.request);
    EXPECT_EQ(got.substr(0, 13), "HTTP/1.0 " + std::to_string(chain.status) + " ") << got;
    EXPECT_TRUE(got.size() >= chain.body.size() && got.compare(got.size() - chain.body.size(), std::string::npos,
                                                                chain.body) == 0)
        << got;
    EXPECT_EQ(got.find(ParentCredentials), std::string::npos) << "the parent's credentials reached the client";
    EXPECT_EQ(got.find("Proxy-Authenticate"), std::string::npos) << got;
    WaitUntil([&] { return ParentLogLines() > parentLines; }, Ms(chain.viaParent ? 3000 : 300));
    EXPECT_EQ(ParentLogLines() - parentLines, chain.viaParent ? 1u : 0u);
    // What every origin received holds no trace of either proxy's login.
    const size_t after = origin_->Connections() + directOrigin_->Connections();
    for (TOriginServer* server : {origin_.get(), directOrigin_.get()}) {
        for (size_t i = 0; i < server->Connections(); ++i) {
            EXPECT_EQ(server->Received(i).find("Proxy-Authorization"), std::string::npos) << server->Received(i);
        }
    }
    EXPECT_EQ(after - before, chain.status == 200 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Chain, UpstreamChainTest,
    ::testing::Values(
        TChainCase{"Get", "GET http://127.0.0.1:{O}/ HTTP/1.0\r\n\r\n", 200, TOriginServer::OriginGreeting, true},
        TChainCase{"Post", "POST http://127.0.0.1:{O}/form HTTP/1.0\r\nContent-Length: 5\r\n\r\nhello", 200,
                   "posted:hello", true},
        TChainCase{"Connect", "CONNECT 127.0.0.1:{O} HTTP/1.1\r\n\r\n", 200, TOriginServer::OriginGreeting, true},
        TChainCase{"DirectGet", "GET http://127.0.0.2:{D}/ HTTP/1.0\r\n\r\n", 200, TOriginServer::OriginGreeting,
                   false},
        TChainCase{"DirectConnect", "CONNECT 127.0.0.2:{D} HTTP/1.1\r\n\r\n", 200, TOriginServer::OriginGreeting,
                   false},
        // Direct names are never resolved here: this one goes direct and
        // fails there, the parent never sees it.
        TChainCase{"DirectNameIsNotSentToTheParent", "GET http://www.direct.invalid/ HTTP/1.0\r\n\r\n", 502, "",
                   false},
        // The parent's own refusal, passed on as it was sent.
        TChainCase{"ParentRefusalPassesOn", "CONNECT 127.0.0.3:443 HTTP/1.1\r\n\r\n", 403, "</html>\n", true},
        TChainCase{"ParentRefusalOfAGetPassesOn", "GET http://127.0.0.3:{O}/ HTTP/1.0\r\n\r\n", 403, "</html>\n",
                   true}),
    [](const ::testing::TestParamInfo<TChainCase>& chain) { return std::string(chain.param.name); });

// A parent that does not take the child's credentials is the child's
// problem, not the client's: 502, never a challenge.
TEST_F(UpstreamTest, ParentRefusingTheCredentialsGives502) {
    const std::unique_ptr<TProgram> child = StartChild("wrong");
    ASSERT_NE(child, nullptr);
    for (const char* request : {"GET http://127.0.0.1:{O}/ HTTP/1.0\r\n\r\n", "CONNECT 127.0.0.1:{O} HTTP/1.1\r\n\r\n"}) {
        const std::string got = Ask(*child, request);
        EXPECT_TRUE(IsProxyAnswer(got, 502)) << request;
        EXPECT_EQ(got.find("Proxy-Authenticate"), std::string::npos) << got;
    }
}

}  // namespace

#endif  // _WIN32

// Tests of the command server over real loopback connections: command
// matching and parameter splitting, empty and unknown lines, the reply
// paths of a handler (silent, raising, answering itself, response lines,
// disconnecting), the help listing, the greeting, the connection limit and
// the activation rule for a server without handlers.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/IdException.h"
#include "net/IdStack.h"
#include "server/IdCmdTCPServer.h"
#include "server/LoopbackClient.h"

namespace {

using ServerTestSupport::TLoopbackClient;
using vtltest::WaitUntil;

// The reply of an echo handler: how it saw the line.
std::string DescribeCommand(TIdCommand& command) {
    std::string list;
    for (const std::string& param : command.ParamList()) {
        list += "[" + param + "]";
    }
    return command.Handler().Command() + " param=[" + command.ParamText() +
           "] count=" + std::to_string(command.ParamList().Count()) + " list=" + list;
}

class CmdServerTest : public ::testing::Test {
protected:
    CmdServerTest() {
        TIdStack::IncUsage();
        server_ = std::make_unique<TIdCmdTCPServer>();
    }
    ~CmdServerTest() override {
        server_.reset();
        TIdStack::DecUsage();
    }

    TIdCommandHandler& AddHandler(const std::string& command, TIdCommandEvent onCommand = {}) {
        TIdCommandHandler& handler = server_->CommandHandlers().Add();
        handler.SetCommand(command);
        handler.OnCommand = std::move(onCommand);
        return handler;
    }

    TIdCommandHandler& AddEchoHandler(const std::string& command) {
        return AddHandler(command, [](TIdCommand& c) { c.StatusReply().SetCodeAndText("200", DescribeCommand(c)); });
    }

    void Start() {
        TIdSocketHandle& binding = server_->Bindings().Add();
        binding.SetIP("127.0.0.1");
        binding.SetPort(0);
        server_->SetActive(true);
        port_ = server_->Bindings()[0].Port();
        ASSERT_GT(port_, 0);
    }

    // A client past the default greeting.
    std::unique_ptr<TLoopbackClient> Connect() {
        auto client = std::make_unique<TLoopbackClient>(port_);
        EXPECT_EQ(client->ReadLine(), "200 Welcome");
        return client;
    }

    // Sends a line and reads the given number of reply lines.
    static std::vector<std::string> Exchange(TLoopbackClient& client, const std::string& line, size_t count) {
        client.SendLine(line);
        std::vector<std::string> lines;
        while (lines.size() < count) {
            std::optional<std::string> next = client.ReadLine();
            if (!next) {
                break;
            }
            lines.push_back(*next);
        }
        return lines;
    }

    // Counted by worker threads; a member, so it outlives the server.
    std::atomic<int> afterCount_{0};
    std::unique_ptr<TIdCmdTCPServer> server_;
    int32_t port_ = 0;
};

// ------------------------------------------------------------- matching

struct TMatchCase {
    const char* name;
    std::string line;
    std::vector<std::string> reply;
};

class CmdMatchTest : public CmdServerTest, public ::testing::WithParamInterface<TMatchCase> {};

TEST_P(CmdMatchTest, AnswersLine) {
    AddEchoHandler("GET");
    AddEchoHandler("POST");
    Start();
    auto client = Connect();
    const TMatchCase& param = GetParam();
    EXPECT_EQ(Exchange(*client, param.line, param.reply.size()), param.reply);
    // Whatever the line, the connection stays usable.
    EXPECT_EQ(Exchange(*client, "GET", 1), std::vector<std::string>{"200 GET param=[] count=0 list="});
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CmdMatchTest,
    ::testing::Values(
        TMatchCase{"LowerCaseWordWithTwoParams", "get /x HTTP/1.0",
                   {"200 GET param=[/x HTTP/1.0] count=2 list=[/x][HTTP/1.0]"}},
        TMatchCase{"WordAlone", "GET", {"200 GET param=[] count=0 list="}},
        TMatchCase{"MixedCaseWordAlone", "gEt", {"200 GET param=[] count=0 list="}},
        TMatchCase{"TwoSpacesAfterWord", "GET  /x", {"200 GET param=[ /x] count=1 list=[/x]"}},
        TMatchCase{"TrailingSpaceKeptInParamText", "GET /x ", {"200 GET param=[/x ] count=1 list=[/x]"}},
        TMatchCase{"SecondHandler", "Post a  b c", {"200 POST param=[a  b c] count=3 list=[a][b][c]"}},
        TMatchCase{"LongerWordIsNotTheCommand", "GETX /x", {"400-Unknown Command", "400 GETX /x"}},
        TMatchCase{"LongerWordAlone", "GETX", {"400-Unknown Command", "400 GETX"}},
        TMatchCase{"LeadingSpaceIsNotTrimmed", " GET /x", {"400-Unknown Command", "400  GET /x"}},
        TMatchCase{"TabIsNotTheDelimiter", "GET\t/x", {"400-Unknown Command", "400 GET\t/x"}},
        TMatchCase{"PrefixOfTheWord", "GE", {"400-Unknown Command", "400 GE"}}),
    [](const ::testing::TestParamInfo<TMatchCase>& matchCase) { return std::string(matchCase.param.name); });

TEST_F(CmdServerTest, EmptyLinesAreIgnored) {
    AddEchoHandler("GET");
    Start();
    auto client = Connect();
    // Anything sent for the empty lines would arrive before the answer.
    client->Send("\r\n\n\r\n");
    EXPECT_EQ(Exchange(*client, "GET a", 1), std::vector<std::string>{"200 GET param=[a] count=1 list=[a]"});
}

TEST_F(CmdServerTest, UnknownCommandWithClearedTextSendsOnlyTheLine) {
    AddEchoHandler("GET");
    server_->ReplyUnknownCommand().Text().Clear();
    Start();
    auto client = Connect();
    EXPECT_EQ(Exchange(*client, "FOO bar", 1), std::vector<std::string>{"400 FOO bar"});
    // No second line belonged to the unknown reply.
    EXPECT_EQ(Exchange(*client, "GET", 1), std::vector<std::string>{"200 GET param=[] count=0 list="});
}

TEST_F(CmdServerTest, ReplacedLineIsDispatchedAndReportedAsUnknown) {
    AddEchoHandler("GET");
    server_->OnBeforeCommandHandler = [](TIdCmdTCPServer&, std::string& data, TIdContext&) {
        if (data.rfind("alias ", 0) == 0) {
            data = "GET " + data.substr(6);
        } else {
            data = "[" + data + "]";
        }
    };
    server_->OnAfterCommandHandler = [this](TIdCmdTCPServer&, TIdContext&) { ++afterCount_; };
    Start();
    auto client = Connect();
    EXPECT_EQ(Exchange(*client, "alias y", 1), std::vector<std::string>{"200 GET param=[y] count=1 list=[y]"});
    EXPECT_EQ(Exchange(*client, "zzz", 2), (std::vector<std::string>{"400-Unknown Command", "400 [zzz]"}));
    EXPECT_TRUE(WaitUntil([&] { return afterCount_.load() == 2; }));
}

// ------------------------------------------------------ handler replies

TEST_F(CmdServerTest, SilentHandlerAnswersOk) {
    AddHandler("NOOP");
    Start();
    auto client = Connect();
    EXPECT_EQ(Exchange(*client, "noop", 1), std::vector<std::string>{"200 Ok"});
}

TEST_F(CmdServerTest, RaisingHandlerAnswersWithMessageAndKeepsConnection) {
    AddHandler("FAIL", [](TIdCommand&) { throw EIdException("disk on fire"); });
    AddEchoHandler("GET");
    server_->OnAfterCommandHandler = [this](TIdCmdTCPServer&, TIdContext&) { ++afterCount_; };
    Start();
    auto client = Connect();
    EXPECT_EQ(Exchange(*client, "FAIL now", 1), std::vector<std::string>{"500 disk on fire"});
    EXPECT_EQ(Exchange(*client, "GET", 1), std::vector<std::string>{"200 GET param=[] count=0 list="});
    EXPECT_TRUE(WaitUntil([&] { return afterCount_.load() == 2; }));
}

TEST_F(CmdServerTest, HandlerExceptionReplyTakesPrecedence) {
    TIdCommandHandler& handler = AddHandler("FAIL", [](TIdCommand&) { throw EIdException("no such mailbox"); });
    handler.ExceptionReply().SetCodeAndText("550", "ignored text");
    Start();
    auto client = Connect();
    EXPECT_EQ(Exchange(*client, "FAIL", 1), std::vector<std::string>{"550 no such mailbox"});
}

TEST_F(CmdServerTest, HandlerRaisingAfterAnsweringEndsConnection) {
    AddHandler("MINE", [](TIdCommand& c) {
        c.StatusReply().SetCodeAndText("201", "mine");
        c.SendStatusReply();
        throw EIdException("after the answer");
    });
    Start();
    auto client = Connect();
    EXPECT_EQ(Exchange(*client, "MINE", 1), std::vector<std::string>{"201 mine"});
    EXPECT_TRUE(client->WaitClosed());
    EXPECT_EQ(client->Pending(), "");
    EXPECT_TRUE(WaitUntil([&] { return server_->LiveContexts().Count() == 0; }));
}

TEST_F(CmdServerTest, ResponseLinesFollowTheReplyDotStuffed) {
    AddHandler("LIST", [](TIdCommand& c) {
        c.ResponseLines().Add("first");
        c.ResponseLines().Add(".hidden");
    });
    TIdCommandHandler& fixed = AddHandler("FIXED");
    fixed.Response().Add("canned");
    Start();
    auto client = Connect();
    EXPECT_EQ(Exchange(*client, "LIST", 4), (std::vector<std::string>{"200 Ok", "first", "..hidden", "."}));
    EXPECT_EQ(Exchange(*client, "FIXED", 3), (std::vector<std::string>{"200 Ok", "canned", "."}));
}

TEST_F(CmdServerTest, DisconnectClosesAfterTheAnswer) {
    AddHandler("QUIT").SetDisconnect(true);
    Start();
    auto client = Connect();
    EXPECT_EQ(Exchange(*client, "QUIT", 1), std::vector<std::string>{"200 Ok"});
    EXPECT_TRUE(client->WaitClosed());
    EXPECT_EQ(client->Pending(), "");
}

TEST_F(CmdServerTest, DisconnectAfterSetByTheCommand) {
    AddHandler("BYE", [](TIdCommand& c) {
        c.SetDisconnectAfter(true);
        c.StatusReply().SetCodeAndText("221", "Bye");
    });
    Start();
    auto client = Connect();
    EXPECT_EQ(Exchange(*client, "BYE", 1), std::vector<std::string>{"221 Bye"});
    EXPECT_TRUE(client->WaitClosed());
}

// ------------------------------------------------------------------ help

TEST_F(CmdServerTest, HelpListsCommandsSortedIgnoringCase) {
    for (const char* command : {"GET", "POST", "HEAD", "CONNECT"}) {
        AddHandler(command);
    }
    Start();
    const std::vector<std::string> expected = {
        "100 Help follows", "CONNECT", "", "GET", "", "HEAD", "", "Help",
        "  Displays commands that the servers supports.", "", "POST", "", "."};
    auto client = Connect();
    for (const char* line : {"help", "HELP", "Help"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(Exchange(*client, line, expected.size()), expected);
    }
}

TEST_F(CmdServerTest, HelpAloneLetsServerWithoutHandlersActivate) {
    Start();
    auto client = Connect();
    EXPECT_EQ(Exchange(*client, "help", 5),
              (std::vector<std::string>{"100 Help follows", "Help", "  Displays commands that the servers supports.",
                                        "", "."}));
}

TEST_F(CmdServerTest, NoHandlersAndNoHelpCannotActivate) {
    server_->HelpReply().Clear();
    TIdSocketHandle& binding = server_->Bindings().Add();
    binding.SetIP("127.0.0.1");
    try {
        server_->SetActive(true);
        FAIL() << "activation succeeded";
    } catch (const EIdTCPNoOnExecute& error) {
        EXPECT_STREQ(error.what(), "You must have an OnExecute event.");
    }
    EXPECT_FALSE(server_->Active());
    EXPECT_EQ(server_->ListenerCount(), 0u);
    EXPECT_FALSE(server_->Bindings()[0].HasSocket());
}

// -------------------------------------------------------------- greeting

TEST_F(CmdServerTest, GreetingArrivesBeforeAnyLine) {
    AddHandler("NOOP");
    Start();
    TLoopbackClient client(port_);
    EXPECT_EQ(client.ReadLine(), "200 Welcome");
}

TEST_F(CmdServerTest, ClearedGreetingSendsNothing) {
    AddEchoHandler("GET");
    server_->Greeting().Clear();
    Start();
    TLoopbackClient client(port_);
    EXPECT_EQ(Exchange(client, "GET", 1), std::vector<std::string>{"200 GET param=[] count=0 list="});
}

// ------------------------------------------------------- connection limit

TEST_F(CmdServerTest, ClientOverTheLimitIsTurnedAway) {
    AddEchoHandler("GET");
    server_->SetMaxConnections(1);
    Start();
    auto first = Connect();

    TLoopbackClient second(port_);
    EXPECT_EQ(second.ReadLine(), "300 Too many connections. Try again later.");
    EXPECT_TRUE(second.WaitClosed());
    EXPECT_EQ(second.Pending(), "");

    EXPECT_EQ(Exchange(*first, "GET", 1), std::vector<std::string>{"200 GET param=[] count=0 list="});

    // Once the first one is gone, its place is free again.
    first->Close();
    ASSERT_TRUE(WaitUntil([&] { return server_->LiveContexts().Count() == 0; }));
    auto third = Connect();
    EXPECT_EQ(Exchange(*third, "GET", 1), std::vector<std::string>{"200 GET param=[] count=0 list="});
}

}  // namespace

// With a delimiter other than a blank each parameter is trimmed, and its
// recorded position is where the trimmed text starts in ParamText, not the
// blanks before it (found by fuzz/command_dispatch_fuzzer).
TEST_F(CmdServerTest, CommaParametersRecordWhereTheyStart) {
    TIdCommandHandler& handler = AddHandler("LIST", [](TIdCommand& c) {
        std::string positions;
        for (int i = 0; i < c.ParamList().Count(); ++i) {
            const int32_t at = c.ParamPositions()[static_cast<size_t>(i)];
            const bool pointsAtParam = c.ParamText().compare(static_cast<size_t>(at - 1), c.ParamList()[i].size(),
                                                             c.ParamList()[i]) == 0;
            positions += " " + c.ParamList()[i] + "@" + std::to_string(at) + (pointsAtParam ? "" : "!");
        }
        c.StatusReply().SetCodeAndText("200", "params" + positions);
    });
    handler.SetParamDelimiter(',');
    Start();
    auto client = Connect();
    EXPECT_EQ(Exchange(*client, "LIST  x, \ty ,z ", 1), std::vector<std::string>{"200 params x@2 y@6 z@9"});
    EXPECT_EQ(Exchange(*client, "LIST a,  ,b", 1), std::vector<std::string>{"200 params a@1 @5 b@6"});
}

// ConsoleTextTest: text that comes from the network reaches the console
// only cleaned of control bytes and clipped to its field, on redirected
// output and on a pseudo-terminal, where the program's own escape
// sequences (colours, title, cursor) must be the only ones.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <ostream>
#include <string>

#include "tests/e2e/ProgramFixture.h"

namespace e2e {
namespace {

std::string GetThrough(int proxyPort, const std::string& host, int originPort, const std::string& path) {
    return ExchangeWithProxy(proxyPort,
                             "GET http://" + host + ":" + std::to_string(originPort) + path + " HTTP/1.0\r\n\r\n");
}

// 127.0.0.1 with control bytes around its pieces: the address check would
// trim them, but a request line holding control bytes is refused before
// anything is logged or forwarded.
std::string ControlByteHost() {
    return "\x1b" "127" "\x01" "." "\x07" "0" "\t" "." "\x02" "0" "\x1f" "." "\x0b" "1" "\x1b";
}

// Bytes 128-159 are not looked for: the banner's UTF-8 box characters are
// made of them. The hosts these tests send cannot hold them anyway (they
// would fail the address check).
bool HasControlBytesBesides(const std::string& text, const std::string& allowed) {
    for (const char c : text) {
        const auto code = static_cast<unsigned char>(c);
        if ((code < 32 || code == 127) && allowed.find(c) == std::string::npos) {
            return true;
        }
    }
    return false;
}

struct TLogFieldCase {
    const char* name;
    std::string host;   // as sent in the request target
    std::string shown;  // the Request row's value
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const TLogFieldCase& testCase, std::ostream* out) {
    *out << testCase.name;
}

using LogFieldTestBase = ProgramTest;
class LogFieldTest : public ProgramTest, public ::testing::WithParamInterface<TLogFieldCase> {};

TEST_P(LogFieldTest, RedirectedLogShowsTheHostCleanedAndClipped) {
    const TOriginServer origin;
    ASSERT_NO_FATAL_FAILURE(StartProxy());

    const std::string answer = GetThrough(ProxyPort(), GetParam().host, origin.Port(), "/");
    EXPECT_NE(answer.find(TOriginServer::OriginGreeting), std::string::npos) << answer;

    const std::string entry = LogEntry(GetParam().shown, "127.0.0.1", "22 Bytes");
    EXPECT_EQ(WaitForLog(entry), entry);
    EXPECT_FALSE(HasControlBytesBesides(Program().Stdout(), "\n"));
}

// Leading zeros make long hosts that still connect to 127.0.0.1.
INSTANTIATE_TEST_SUITE_P(
    Hosts, LogFieldTest,
    ::testing::Values(
        TLogFieldCase{"LocalHostName", "localhost", "localhost"},
        TLogFieldCase{"FiftyTwoCharactersShownWhole", std::string(43, '0') + "127.0.0.1",
                      std::string(43, '0') + "127.0.0.1"},
        TLogFieldCase{"FiftyThreeCharactersClipped", std::string(44, '0') + "127.0.0.1",
                      std::string(44, '0') + "127.0." + "..."},
        TLogFieldCase{"SixtyCharactersClipped", "127." + std::string(24, '0') + "0.0." + std::string(27, '0') + "1",
                      "127." + std::string(24, '0') + "0.0." + std::string(18, '0') + "..."}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(LogFieldTestBase, ControlBytesInTheRequestLineAreRefusedAndNeverLogged) {
    const TOriginServer origin;
    ASSERT_NO_FATAL_FAILURE(StartProxy());
    EXPECT_TRUE(IsProxyAnswer(GetThrough(ProxyPort(), ControlByteHost(), origin.Port(), "/"), 400));
    EXPECT_TRUE(origin.Requests().empty());
    const std::string entry = LogEntry("localhost", "127.0.0.1", "22 Bytes");
    GetThrough(ProxyPort(), "localhost", origin.Port(), "/");
    EXPECT_EQ(WaitForLog(entry), entry) << "only the clean request is logged";
}

// The master side of a pseudo-terminal and its slave until the program has it.
class TPseudoTerminal {
public:
    TPseudoTerminal() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0) {
            return;
        }
        fcntl(master_, F_SETFD, FD_CLOEXEC);
        char name[128];
        if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0) {
            return;
        }
        slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~TPseudoTerminal() {
        CloseSlave();
        CloseMaster();
    }
    // Hangs the terminal up, as closing a terminal window does.
    void CloseMaster() {
        if (master_ >= 0) {
            close(master_);
            master_ = -1;
        }
    }
    TPseudoTerminal(const TPseudoTerminal&) = delete;
    TPseudoTerminal& operator=(const TPseudoTerminal&) = delete;

    bool Ready() const { return master_ >= 0 && slave_ >= 0; }
    int Master() const { return master_; }
    int Slave() const { return slave_; }
    // Once the program holds the slave, reads on the master end (EIO) when
    // the program does.
    void CloseSlave() {
        if (slave_ >= 0) {
            close(slave_);
            slave_ = -1;
        }
    }

private:
    int master_ = -1;
    int slave_ = -1;
};

// Drops CSI sequences (ESC [ ... final byte) and OSC sequences (ESC ] ...
// BEL): the program's own colours, cursor moves and title. Anything else,
// a lone ESC included, stays.
std::string WithoutEscapeSequences(const std::string& screen) {
    std::string text;
    for (size_t i = 0; i < screen.size(); ++i) {
        if (screen[i] == '\x1b' && i + 1 < screen.size() && screen[i + 1] == '[') {
            size_t end = i + 2;
            while (end < screen.size() && screen[end] >= 0x20 && screen[end] <= 0x3F) {
                ++end;
            }
            if (end < screen.size() && screen[end] >= 0x40 && screen[end] <= 0x7E) {
                i = end;
                continue;
            }
        }
        if (screen[i] == '\x1b' && i + 1 < screen.size() && screen[i + 1] == ']') {
            const size_t bell = screen.find('\a', i + 2);
            if (bell != std::string::npos) {
                i = bell;
                continue;
            }
        }
        text += screen[i];
    }
    return text;
}

std::string WithCarriageReturns(const std::string& text) {
    std::string result;
    for (const char c : text) {
        if (c == '\n') {
            result += '\r';
        }
        result += c;
    }
    return result;
}

// The program on a pseudo-terminal of its own, started up to the moment
// its log rows are ready.
class TerminalTest : public ::testing::Test {
protected:
    // Use as ASSERT_NO_FATAL_FAILURE(StartOnTerminal(...)).
    void StartOnTerminal(const std::string& moreIni = "") {
        ASSERT_TRUE(terminal_.Ready());
        port_ = FreePort();
        program_ = std::make_unique<TProgram>("[Connection]\nPort=" + std::to_string(port_) + "\n" + moreIni);
        program_->StartOnTerminal(terminal_.Slave());
        terminal_.CloseSlave();
        ASSERT_TRUE(program_->WaitListening(port_)) << screen_;
        // The active line, then the rows reserved for the log (line ends
        // and a move back up): after that the log is ready.
        ASSERT_TRUE(ReadTerminalUntil(terminal_.Master(), screen_, "Proxy server is active...", StartLimit))
            << screen_;
        ASSERT_TRUE(ReadTerminalUntil(terminal_.Master(), screen_, "\x1b[4A", StartLimit)) << screen_;
    }

    TPseudoTerminal terminal_;
    std::unique_ptr<TProgram> program_;  // ends before the terminal does
    int port_ = 0;
    std::string screen_;  // everything the terminal showed so far
};

TEST_F(TerminalTest, TerminalShowsNoEscapeBytesFromTheNetwork) {
    const TOriginServer origin;
    ASSERT_NO_FATAL_FAILURE(StartOnTerminal());

    EXPECT_TRUE(IsProxyAnswer(GetThrough(port_, ControlByteHost(), origin.Port(), "/size/10"), 400));
    const std::string first = GetThrough(port_, "127.0.0.1", origin.Port(), "/size/1000");
    EXPECT_NE(first.find(TOriginServer::BodyFor("/size/1000")), std::string::npos);
    EXPECT_TRUE(ReadTerminalUntil(terminal_.Master(), screen_, "1000 Bytes", Ms{5000})) << screen_;
    const std::string second = GetThrough(port_, "localhost", origin.Port(), "/size/200");
    EXPECT_NE(second.find(TOriginServer::BodyFor("/size/200")), std::string::npos);
    EXPECT_TRUE(ReadTerminalUntil(terminal_.Master(), screen_, "200 Bytes", Ms{5000})) << screen_;

    program_->Process().Signal(SIGTERM);
    // The end gives the cursor back.
    EXPECT_TRUE(ReadTerminalUntil(terminal_.Master(), screen_, "\x1b[?25h", StopLimit)) << screen_;
    ASSERT_TRUE(program_->Process().WaitExit(StopLimit));
    EXPECT_EQ(program_->Process().ExitCode(), 0);

    // The terminal really was driven as one: cursor hidden, title set.
    EXPECT_NE(screen_.find("\x1b[?25l"), std::string::npos);
    // 1000 + 200 bytes relayed so far.
    EXPECT_NE(screen_.find("\x1b]0;Vantrel - [1 KB]\a"), std::string::npos) << screen_;

    const std::string text = WithoutEscapeSequences(screen_);
    EXPECT_NE(text.find(WithCarriageReturns(BannerText())), std::string::npos) << text;
    EXPECT_NE(text.find("Request: 127.0.0.1"), std::string::npos) << text;
    EXPECT_NE(text.find("Request: localhost"), std::string::npos) << text;
    EXPECT_FALSE(HasControlBytesBesides(text, "\r\n")) << text;
}

// SIGHUP asks for a reload, whose outcome shows on the row above the log;
// once the terminal has been closed, the SIGHUP that comes with that stops
// the program as it always did.
TEST_F(TerminalTest, HangupReloadsWhileTheTerminalLivesAndStopsOnceItIsGone) {
    ASSERT_NO_FATAL_FAILURE(StartOnTerminal());
    program_->Process().Signal(SIGHUP);
    EXPECT_TRUE(ReadTerminalUntil(terminal_.Master(), screen_, "Settings applied from ", Ms{5000})) << screen_;
    EXPECT_TRUE(program_->Running());
    terminal_.CloseMaster();
    program_->Process().Signal(SIGHUP);
    ASSERT_TRUE(program_->Process().WaitExit(StopLimit));
    EXPECT_EQ(program_->Process().ExitCode(), 0);
}

// Bodies at the edge of a 1 KiB hold limit, held or relayed, with and
// without a length: each counts in the title's total and shows its size in
// the Size row alike.
TEST_F(TerminalTest, HeldAndRelayedBodiesCountAlikeInTitleAndLog) {
    const TOriginServer origin;
    ASSERT_NO_FATAL_FAILURE(StartOnTerminal("[General]\nHoldLimit=1\n"));

    struct TStep {
        const char* path;
        const char* size;
        const char* total;
    };
    const TStep steps[] = {{"/size/1023", "1023 Bytes", "1023 Bytes"}, {"/size/1024", "1 KB", "1 KB"},
                           {"/size/1025", "1 KB", "3 KB"},             {"/size/1023?nolength", "1023 Bytes", "3 KB"},
                           {"/size/1024?nolength", "1 KB", "4 KB"},    {"/size/1025?nolength", "1 KB", "6 KB"}};
    for (const TStep& step : steps) {
        const std::string answer = GetThrough(port_, "127.0.0.1", origin.Port(), step.path);
        const std::string body = TOriginServer::BodyFor(step.path);
        EXPECT_EQ(answer.size() >= body.size() ? answer.substr(answer.size() - body.size()) : answer, body)
            << step.path;
        std::string shown;
        EXPECT_TRUE(ReadTerminalUntil(terminal_.Master(), shown,
                                      std::string("\x1b]0;Vantrel - [") + step.total + "]\a", Ms{5000}))
            << step.path << ": " << shown;
        // The row's value, then the blanks that wipe a longer predecessor.
        EXPECT_TRUE(ReadTerminalUntil(terminal_.Master(), shown, std::string(step.size) + "    ", Ms{5000}))
            << step.path << ": " << shown;
    }
    program_->Process().Signal(SIGTERM);
    ASSERT_TRUE(program_->Process().WaitExit(StopLimit));
}

}  // namespace
}  // namespace e2e

#endif  // _WIN32

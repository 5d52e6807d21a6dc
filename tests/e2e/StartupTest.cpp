// StartupTest: the real program's start-up text on redirected output, its
// failure when the port is taken, its end on stop signals (also with
// clients still connected), and an idle main thread when standard input is
// at its end.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <unistd.h>

#include <csignal>
#include <ostream>
#include <string>

#include "tests/e2e/ProgramFixture.h"

namespace e2e {
namespace {

constexpr const char* BindError = "EIdCouldNotBindSocket: Could not bind socket. Address and port are already in use.\n";

using StartupTest = ProgramTest;

TEST_F(StartupTest, RedirectedOutputIsThePlainStartupTextByteForByte) {
    ASSERT_NO_FATAL_FAILURE(StartProxy());
    const std::string expected =
        StartupText(" [Port: " + std::to_string(ProxyPort()) + "] [Authentication not required] [ST: 100]") +
        ActiveText();
    EXPECT_EQ(Program().Stdout(), expected);

    EXPECT_EQ(Program().StopWith(SIGTERM), 0);
    // Ending adds nothing to redirected output: no colour reset, no cursor.
    EXPECT_EQ(Program().Stdout(), expected);
    EXPECT_EQ(Program().Stderr(), "");
}

struct TBindCase {
    const char* name;
    bool withIni;  // false: no vtl.ini, so the default port 3128
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const TBindCase& testCase, std::ostream* out) {
    *out << testCase.name;
}

class BindFailureTest : public ::testing::TestWithParam<TBindCase> {};

TEST_P(BindFailureTest, PortInUseEndsWithStatusOneAndTheErrorOnStderr) {
    const bool withIni = GetParam().withIni;
    const int port = withIni ? FreePort() : 3128;
    const THeldPort held(port);
    if (!held.Held()) {
        // Someone else's listener; the program would still fail, but the
        // case is not the controlled one this test is about.
        GTEST_SKIP() << "port " << port << " cannot be held by the test";
    }
    TProgram program(withIni ? std::optional<std::string>("[Connection]\nPort=" + std::to_string(port) + "\n")
                             : std::nullopt);
    program.Start();
    ASSERT_TRUE(program.Process().WaitExit(StartLimit)) << program.Stdout();
    EXPECT_EQ(program.Process().ExitCode(), 1);
    EXPECT_EQ(program.Stderr(), BindError);
    const std::string status = withIni ? " [Port: " + std::to_string(port) + "] [Authentication not required] [ST: 100]"
                                       : " [Default] [Port: 3128] [Authentication not required] [ST: 100]";
    EXPECT_EQ(program.Stdout(), StartupText(status));
}

INSTANTIATE_TEST_SUITE_P(Ports, BindFailureTest,
                         ::testing::Values(TBindCase{"DefaultPortWithoutIni", false},
                                           TBindCase{"ConfiguredPort", true}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

struct TStopCase {
    const char* name;
    int signalNumber;
    int sleepTime;
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const TStopCase& testCase, std::ostream* out) {
    *out << testCase.name;
}

class StopSignalTest : public ProgramTest, public ::testing::WithParamInterface<TStopCase> {};

TEST_P(StopSignalTest, StopSignalEndsTheProgramWithStatusZero) {
    ASSERT_NO_FATAL_FAILURE(StartProxy("[General]\nSleepTime=" + std::to_string(GetParam().sleepTime) + "\n"));
    EXPECT_EQ(Program().StopWith(GetParam().signalNumber), 0) << "the program did not end in time with status 0";
    EXPECT_EQ(Program().Stderr(), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignalTest,
                         ::testing::Values(TStopCase{"TermWhileSleeping", SIGTERM, 100},
                                           TStopCase{"IntWhileSleeping", SIGINT, 100},
                                           TStopCase{"TermWhileReadingInput", SIGTERM, 0},
                                           TStopCase{"IntWhileReadingInput", SIGINT, -5},
                                           TStopCase{"HangupWhileSleeping", SIGHUP, 1}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(StartupTest, StopClosesOpenTunnelsAndUnfinishedRequests) {
    const TOriginServer origin;
    ASSERT_NO_FATAL_FAILURE(StartProxy());

    TClientSocket tunnel(ProxyPort());
    ASSERT_TRUE(tunnel.Send("CONNECT 127.0.0.1:" + std::to_string(origin.Port()) + " HTTP/1.0\r\n\r\n"));
    ASSERT_TRUE(tunnel.ReadUntil("\r\n\r\n", Ms{5000})) << tunnel.Received();
    // A request whose header block never ends, and a client that says nothing.
    TClientSocket halfRequest(ProxyPort());
    ASSERT_TRUE(halfRequest.Send("GET http://127.0.0.1:" + std::to_string(origin.Port()) + "/ HTTP/1.0\r\n"));
    const TClientSocket silent(ProxyPort());
    ASSERT_TRUE(silent.Connected());

    EXPECT_EQ(Program().StopWith(SIGTERM), 0) << "connected clients kept the program from ending";
    EXPECT_TRUE(tunnel.ReadUntilClosed(Ms{2000}));
    EXPECT_TRUE(halfRequest.ReadUntilClosed(Ms{2000}));
    EXPECT_EQ(halfRequest.Received(), "");
}

class IdleInputTest : public ProgramTest, public ::testing::WithParamInterface<int> {};

// With standard input at its end, a loop that kept reading it would spin;
// the program must stay idle and keep serving.
TEST_P(IdleInputTest, ClosedInputLeavesTheProgramIdleAndServing) {
    const TOriginServer origin;
    ASSERT_NO_FATAL_FAILURE(StartProxy("[General]\nSleepTime=" + std::to_string(GetParam()) + "\n"));
    const long before = Program().Process().CpuTicks();
    ASSERT_GE(before, 0);
    // A quarter of the window's ticks: far above what waking listeners
    // cost, far below one thread spinning.
    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    const long allowance = ticksPerSecond / 4;
    long used = 0;
    const bool spun = WaitUntil(
        [&] {
            used = Program().Process().CpuTicks() - before;
            return used > allowance;
        },
        Ms{2000});
    EXPECT_FALSE(spun) << used << " ticks of CPU time in about 2 s of idling";

    const std::string answer =
        ExchangeWithProxy(ProxyPort(), "GET http://127.0.0.1:" + std::to_string(origin.Port()) + "/ HTTP/1.0\r\n\r\n");
    EXPECT_NE(answer.find(TOriginServer::OriginGreeting), std::string::npos) << answer;
    EXPECT_EQ(Program().StopWith(SIGTERM), 0);
}

INSTANTIATE_TEST_SUITE_P(SleepTimes, IdleInputTest, ::testing::Values(0, -1),
                         [](const auto& testInfo) {
                             return testInfo.param < 0 ? std::string("Negative") : std::string("Zero");
                         });

}  // namespace
}  // namespace e2e

#else  // _WIN32

// The end-to-end tests drive the Linux build; the Windows build is checked
// by tests/e2e/wine_smoke.sh instead.
TEST(EndToEnd, RunsOnLinuxOnly) {
    GTEST_SKIP() << "the end-to-end tests start the Linux build of vantrel";
}

#endif  // _WIN32

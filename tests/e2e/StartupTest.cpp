// StartupTest: the real program's start-up text on redirected output, its
// failure when the port is taken or a setting cannot be read, listening on
// the configured addresses only, its end on stop signals (also with
// clients still connected), and an idle main thread when standard input is
// at its end.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

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

struct TStartFailureCase {
    const char* name;
    std::string moreIni;
    std::vector<std::string> arguments;
    // "{dir}" stands for the directory of the program's copy.
    std::string err;
};

void PrintTo(const TStartFailureCase& testCase, std::ostream* out) {
    *out << testCase.name;
}

class StartFailureTest : public ::testing::TestWithParam<TStartFailureCase> {};

// Never a silent fallback to serving everyone everywhere.
TEST_P(StartFailureTest, UnreadableValueEndsWithStatusOneAndNamesIt) {
    TProgram program("[Connection]\nPort=" + std::to_string(FreePort()) + "\n" + GetParam().moreIni);
    program.Start(GetParam().arguments);
    ASSERT_TRUE(program.Process().WaitExit(StartLimit)) << program.Stdout();
    EXPECT_EQ(program.Process().ExitCode(), 1);
    std::string expected = GetParam().err;
    const size_t dir = expected.find("{dir}");
    if (dir != std::string::npos) {
        expected.replace(dir, 5, program.Directory());
    }
    EXPECT_EQ(program.Stderr(), expected);
    EXPECT_EQ(program.Stdout().find("Starting proxy server"), std::string::npos) << program.Stdout();
}

INSTANTIATE_TEST_SUITE_P(
    Values, StartFailureTest,
    ::testing::Values(
        TStartFailureCase{"Listen", "Listen=127.0.0.1, localhost\n", {},
                          "ESettingsError: {dir}/vtl.ini: [Connection] Listen: "
                          "\"localhost\" is not an IPv4 or IPv6 address\n"},
        TStartFailureCase{"Allow", "[Access]\nAllow=10.0.0.300\n", {},
                          "ESettingsError: {dir}/vtl.ini: [Access] Allow: "
                          "\"10.0.0.300\" is not an address or network\n"},
        TStartFailureCase{"ConnectPorts", "[Access]\nConnectPorts=443-80\n", {},
                          "ESettingsError: {dir}/vtl.ini: [Access] ConnectPorts: "
                          "\"443-80\": the range ends below its start\n"},
        TStartFailureCase{"Deny", "[Access]\nDeny=127.0.0.1/8\n", {},
                          "ESettingsError: {dir}/vtl.ini: [Access] Deny: "
                          "\"127.0.0.1/8\" has address bits set after the prefix length\n"},
        TStartFailureCase{"LogFile", "[General]\nLogFile=no-such-directory/access.log\n", {},
                          "EAccessLogError: Cannot open the access log "
                          "\"{dir}/no-such-directory/access.log\": No such file or directory\n"},
        // Once cut to int32 milliseconds this was 0.7 s.
        TStartFailureCase{"ConnectTimeoutPastItsRange", "[General]\nConnectTimeout=4294968\n", {},
                          "ESettingsError: {dir}/vtl.ini: [General] ConnectTimeout: "
                          "\"4294968\" is above the largest value, 2147483\n"},
        TStartFailureCase{"UserWithColon", "[Authorization]\nUser=a:b\nPassword=secret\n", {},
                          "ESettingsError: {dir}/vtl.ini: [Authorization] User: "
                          "a user name cannot contain \":\"\n"},
        TStartFailureCase{"MissingConfigFile", "", {"--config", "/nonexistent-vtl-directory/vtl.ini"},
                          "ESettingsError: /nonexistent-vtl-directory/vtl.ini: no such settings file\n"}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

struct TListenCase {
    const char* name;
    const char* listen;
    const char* served;
    const char* refused;
};

void PrintTo(const TListenCase& testCase, std::ostream* out) {
    *out << testCase.name;
}

class ListenTest : public ::testing::TestWithParam<TListenCase> {};

TEST_P(ListenTest, OnlyTheListedAddressesAreServed) {
    const std::string listen = GetParam().listen;
    if (listen.find(':') != std::string::npos && !HasIPv6Loopback()) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    const TOriginServer origin;
    const int port = FreePort();
    TProgram program("[Connection]\nPort=" + std::to_string(port) + "\nListen=" + listen + "\n");
    program.Start();
    ASSERT_TRUE(program.WaitListening(port, StartLimit, GetParam().served)) << program.Stdout() << program.Stderr();
    ASSERT_TRUE(program.WaitForStdout("Proxy server is active...\n")) << program.Stdout();
    EXPECT_EQ(program.Stdout(), StartupText(" [Port: " + std::to_string(port) + "] [Listen: " + listen +
                                            "] [Authentication not required] [ST: 100]") +
                                    ActiveText());
    EXPECT_FALSE(CanConnect(port, GetParam().refused)) << "a connection to " << GetParam().refused << " got in";

    TClientSocket client(port, GetParam().served);
    ASSERT_TRUE(client.Send("GET http://127.0.0.1:" + std::to_string(origin.Port()) + "/ HTTP/1.0\r\n\r\n"));
    EXPECT_TRUE(client.ReadUntilClosed(Ms{5000}));
    EXPECT_NE(client.Received().find(TOriginServer::OriginGreeting), std::string::npos) << client.Received();
    EXPECT_EQ(program.StopWith(SIGTERM), 0);
}

INSTANTIATE_TEST_SUITE_P(Addresses, ListenTest,
                         ::testing::Values(TListenCase{"IPv4", "127.0.0.1", "127.0.0.1", "127.0.0.2"},
                                           TListenCase{"IPv4AndIPv6", "127.0.0.2, ::1", "::1", "127.0.0.1"}),
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
                                           TStopCase{"IntWhileReadingInput", SIGINT, -5}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

// Stopping does not wait for anything a client or an origin does, a
// connect to a place that never answers included (with no limit of its
// own, the system's would take minutes).
TEST_F(StartupTest, StopClosesOpenTunnelsAndUnfinishedRequests) {
    const TOriginServer origin;
    const TBlackHole hole;
    ASSERT_NO_FATAL_FAILURE(StartProxy("[General]\nConnectTimeout=0\n"));

    TClientSocket tunnel(ProxyPort());
    ASSERT_TRUE(tunnel.Send("CONNECT 127.0.0.1:" + std::to_string(origin.Port()) + " HTTP/1.0\r\n\r\n"));
    ASSERT_TRUE(tunnel.ReadUntil("\r\n\r\n", Ms{5000})) << tunnel.Received();
    // A request whose header block never ends, and a client that says nothing.
    TClientSocket halfRequest(ProxyPort());
    ASSERT_TRUE(halfRequest.Send("GET http://127.0.0.1:" + std::to_string(origin.Port()) + "/ HTTP/1.0\r\n"));
    const TClientSocket silent(ProxyPort());
    ASSERT_TRUE(silent.Connected());
    TClientSocket connecting(ProxyPort());
    ASSERT_TRUE(connecting.Send("GET http://127.0.0.1:" + std::to_string(hole.Port()) + "/ HTTP/1.0\r\n\r\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the connect is under way

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Program().StopWith(SIGTERM), 0) << "connected clients kept the program from ending";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(connecting.ReadUntilClosed(Ms{2000}));
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

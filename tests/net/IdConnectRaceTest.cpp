// IdConnectRaceTest: the order a host's addresses are tried in, and races
// over address lists given to the race itself, on loopback addresses that
// share one port: a listener whose queue is full (a black hole), one that
// takes the connection, and addresses where nothing listens.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "base/IdException.h"
#include "net/IdConnectRace.h"
#include "tests/support/LoopbackSocket.h"

namespace {

using namespace std::chrono_literals;
using vtltest::TBlackHole;
using vtltest::TLoopbackSocket;
using Clock = std::chrono::steady_clock;

TIdIPAddress Address(const std::string& text) {
    TIdIPAddress address;
    EXPECT_TRUE(TryParseIPAddress(text, address)) << text;
    return address;
}

std::vector<TIdIPAddress> Addresses(const std::vector<std::string>& texts) {
    std::vector<TIdIPAddress> addresses;
    for (const std::string& text : texts) {
        addresses.push_back(Address(text));
    }
    return addresses;
}

struct TOrderCase {
    std::vector<std::string> resolved;
    std::vector<std::string> tried;
};

class InterleaveTest : public ::testing::TestWithParam<TOrderCase> {};

TEST_P(InterleaveTest, FamiliesTakeTurnsFromTheFirst) {
    EXPECT_EQ(InterleaveFamilies(Addresses(GetParam().resolved)), Addresses(GetParam().tried));
}

INSTANTIATE_TEST_SUITE_P(
    Table, InterleaveTest,
    ::testing::Values(TOrderCase{{}, {}}, TOrderCase{{"10.0.0.1", "10.0.0.2"}, {"10.0.0.1", "10.0.0.2"}},
                      TOrderCase{{"2001:db8::1", "2001:db8::2", "10.0.0.1", "10.0.0.2"},
                                 {"2001:db8::1", "10.0.0.1", "2001:db8::2", "10.0.0.2"}},
                      TOrderCase{{"10.0.0.1", "2001:db8::1", "2001:db8::2", "2001:db8::3"},
                                 {"10.0.0.1", "2001:db8::1", "2001:db8::2", "2001:db8::3"}}));

// One port on which 127.0.0.1 is a black hole, 127.0.0.2 and (where the
// system has it) ::1 take connections, and 127.0.0.3 refuses them.
class ConnectRaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        serving_ = TLoopbackSocket::Listen("127.0.0.2", hole_.Port(), 16);
        ASSERT_TRUE(serving_.Valid());
        serving6_ = TLoopbackSocket::Listen("::1", hole_.Port(), 16);
    }

    int32_t Port() const { return hole_.Port(); }

    TBlackHole hole_;
    TLoopbackSocket serving_;
    TLoopbackSocket serving6_;
};

struct TRaceCase {
    const char* name;
    std::vector<std::string> addresses;
    int32_t timeoutMs;
    int winner;  // -1: the race fails
    int32_t error;  // the socket error it fails with; 0: the timeout
    Clock::duration atLeast;
    Clock::duration below;
};

void PrintTo(const TRaceCase& c, std::ostream* os) { *os << c.name; }

class RaceCases : public ConnectRaceTest, public ::testing::WithParamInterface<TRaceCase> {};

TEST_P(RaceCases, FirstToConnectWins) {
    const TRaceCase& c = GetParam();
    for (const std::string& text : c.addresses) {
        if (text == "::1" && !serving6_.Valid()) {
            GTEST_SKIP() << "no IPv6 loopback here";
        }
    }
    TIdConnectRace race(Addresses(c.addresses), Port(), c.timeoutMs);
    size_t winner = 99;
    const Clock::time_point start = Clock::now();
    if (c.winner >= 0) {
        const TIdStackSocketHandle socket = race.Run(nullptr, winner);
        TLoopbackSocket connected(socket);
        EXPECT_EQ(winner, static_cast<size_t>(c.winner));
        EXPECT_TRUE((c.addresses[winner] == "::1" ? serving6_ : serving_).Accept().Valid());
    } else if (c.error == 0) {
        EXPECT_THROW(race.Run(nullptr, winner), EIdConnectTimeout);
    } else {
        try {
            race.Run(nullptr, winner);
            ADD_FAILURE() << "connected";
        } catch (const EIdSocketError& error) {
            EXPECT_EQ(error.LastError(), c.error);
        }
    }
    const Clock::duration took = Clock::now() - start;
    EXPECT_GE(took, c.atLeast);
    EXPECT_LT(took, c.below);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RaceCases,
    ::testing::Values(
        // The silent first address holds the next one back for one turn only.
        TRaceCase{"SilentThenServing", {"127.0.0.1", "127.0.0.2"}, 5000, 1, 0, 200ms, 1500ms},
        TRaceCase{"SilentThenIPv6", {"127.0.0.1", "::1"}, 5000, 1, 0, 200ms, 1500ms},
        // A refusal hands the turn on at once.
        TRaceCase{"RefusedThenServing", {"127.0.0.3", "127.0.0.2"}, 5000, 1, 0, 0ms, 200ms},
        TRaceCase{"AllRefused", {"127.0.0.3", "127.0.0.4"}, 5000, -1, IdErr::ConnectionRefused, 0ms, 200ms},
        // The limit is the whole race's, however many addresses wait.
        TRaceCase{"SilentOnly", {"127.0.0.1", "127.0.0.1", "127.0.0.1"}, 600, -1, 0, 550ms, 1500ms}));

TEST_F(ConnectRaceTest, GivesUpAtOnceWhenCancelled) {
    TIdConnectRace race(Addresses({"127.0.0.1"}), Port(), 0);
    std::atomic<bool> cancelled{false};
    std::thread stopper([&] {
        std::this_thread::sleep_for(300ms);
        cancelled = true;
    });
    size_t winner = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_THROW(race.Run([&] { return cancelled.load(); }, winner), EIdConnClosedGracefully);
    stopper.join();
    EXPECT_LT(Clock::now() - start, 300ms + 2 * std::chrono::milliseconds(TIdConnectRace::CancelCheckMs));
}

}  // namespace

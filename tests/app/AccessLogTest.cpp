// AccessLogTest: the access log line for a table of records (escaping,
// missing status and texts, times), appending to a file that is already
// there while many threads write at once, and the refusal of a file that
// cannot be opened.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/AccessLog.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using namespace std::chrono_literals;

// 2026-12-08T10:15:30.123Z
const system_clock::time_point SampleTime = sys_days{year{2026} / 12 / 8} + 10h + 15min + 30s + 123ms;

TIdRequestRecord Record(std::string method, std::string target, int status) {
    TIdRequestRecord record;
    record.started = SampleTime;
    record.client = "127.0.0.1";
    record.method = std::move(method);
    record.target = std::move(target);
    record.status = status;
    record.bytesToClient = 1234;
    record.bytesFromClient = 56;
    record.durationMs = 15;
    return record;
}

struct TLineCase {
    const char* name;
    TIdRequestRecord record;
    std::string line;
};

void PrintTo(const TLineCase& c, std::ostream* os) {
    *os << c.name;
}

class AccessLogLineTest : public ::testing::TestWithParam<TLineCase> {};

TEST_P(AccessLogLineTest, FormatsOneLine) {
    EXPECT_EQ(FormatAccessLogLine(GetParam().record), GetParam().line);
}

TLineCase WithClient(const char* name, std::string client, std::string method, std::string target,
                     std::string line) {
    TIdRequestRecord record = Record(std::move(method), std::move(target), 400);
    record.client = std::move(client);
    return {name, record, std::move(line)};
}

TLineCase WithUser(const char* name, std::string user, int status, std::string line) {
    TIdRequestRecord record = Record("GET", "/", status);
    record.user = std::move(user);
    return {name, record, std::move(line)};
}

TLineCase AtTime(const char* name, system_clock::time_point started, int64_t durationMs, std::string line) {
    TIdRequestRecord record = Record("GET", "/", 200);
    record.started = started;
    record.durationMs = durationMs;
    record.bytesToClient = UINT64_MAX;
    return {name, record, std::move(line)};
}

INSTANTIATE_TEST_SUITE_P(
    Table, AccessLogLineTest,
    ::testing::Values(
        TLineCase{"Forwarded", Record("GET", "http://example.com/", 200),
                  "2026-12-08T10:15:30.123Z 127.0.0.1 - GET http://example.com/ 200 1234 56 15"},
        TLineCase{"TunnelWithoutAnswer", Record("CONNECT", "example.com:443", -1),
                  "2026-12-08T10:15:30.123Z 127.0.0.1 - CONNECT example.com:443 - 1234 56 15"},
        TLineCase{"BlanksControlsHighBytesBackslash",
                  Record("G T", "/a b\t\r\n\x1b\xc3\xa9\\\x7f%20", 400),
                  "2026-12-08T10:15:30.123Z 127.0.0.1 - G\\x20T /a\\x20b\\x09\\x0D\\x0A\\x1B\\xC3\\xA9\\x5C\\x7F%20 400 "
                  "1234 56 15"},
        TLineCase{"NulInsideTarget", Record("GET", std::string("/a\0b", 4), 400),
                  "2026-12-08T10:15:30.123Z 127.0.0.1 - GET /a\\x00b 400 1234 56 15"},
        WithClient("EmptyTexts", "", "", "", "2026-12-08T10:15:30.123Z - - - - 400 1234 56 15"),
        WithClient("DashTexts", "-", "-", "-", "2026-12-08T10:15:30.123Z \\x2D - \\x2D \\x2D 400 1234 56 15"),
        // A failed login: 407 with the user name tried, escaped like the rest.
        WithUser("FailedLogin", "al ice\x1b\\", 407,
                 "2026-12-08T10:15:30.123Z 127.0.0.1 al\\x20ice\\x1B\\x5C GET / 407 1234 56 15"),
        WithUser("AcceptedUser", "alice", 200, "2026-12-08T10:15:30.123Z 127.0.0.1 alice GET / 200 1234 56 15"),
        WithUser("DashUser", "-", 407, "2026-12-08T10:15:30.123Z 127.0.0.1 \\x2D GET / 407 1234 56 15"),
        WithClient("IPv6Client", "::1", "GET", "/", "2026-12-08T10:15:30.123Z ::1 - GET / 400 1234 56 15"),
        AtTime("Epoch", system_clock::time_point{}, 0,
               "1970-01-01T00:00:00.000Z 127.0.0.1 - GET / 200 18446744073709551615 56 0"),
        AtTime("LeapDayLastMillisecond", sys_days{year{2024} / 2 / 29} + 23h + 59min + 59s + 999ms, 7,
               "2024-02-29T23:59:59.999Z 127.0.0.1 - GET / 200 18446744073709551615 56 7"),
        AtTime("ClockStepBackGivesZeroDuration", SampleTime + 1500us, -3,
               "2026-12-08T10:15:30.124Z 127.0.0.1 - GET / 200 18446744073709551615 56 0")),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

class AccessLogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Random names keep parallel test processes out of each other's way.
        std::random_device random;
        directory_ = fs::temp_directory_path() /
                     ("vtl-accesslog-" + std::to_string(random()) + "-" + std::to_string(random()));
        fs::create_directories(directory_);
        path_ = (directory_ / "access.log").string();
    }

    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }

    std::vector<std::string> Lines() const { return LinesOf(path_); }
    static std::vector<std::string> LinesOf(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        std::vector<std::string> lines;
        for (std::string line; std::getline(file, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    fs::path directory_;
    std::string path_;
};

TEST_F(AccessLogFileTest, ConcurrentWritersAppendWholeLines) {
    {
        std::ofstream earlier(path_, std::ios::binary);
        earlier << "an earlier line\n";
    }
    TAccessLog log;
    log.Open(path_);
    ASSERT_TRUE(log.IsOpen());

    constexpr int Writers = 100;
    std::vector<std::string> expected;
    std::vector<TIdRequestRecord> records;
    for (int i = 0; i < Writers; ++i) {
        // Long targets make a torn or interleaved write show.
        const std::string filler(4000, static_cast<char>('a' + i % 26));
        records.push_back(Record("GET", "http://origin/" + std::to_string(i) + "/" + filler, 200));
        expected.push_back(FormatAccessLogLine(records.back()));
    }
    std::vector<std::thread> writers;
    for (int i = 0; i < Writers; ++i) {
        writers.emplace_back([&log, &records, i] { log.Write(records[static_cast<size_t>(i)]); });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }

    // Every line is in the file as soon as Write returns.
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(Writers + 1));
    EXPECT_EQ(lines.front(), "an earlier line");
    lines.erase(lines.begin());
    std::sort(lines.begin(), lines.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
}

// logrotate renames the log (or removes it) while 20 writers go on: every
// line is whole and in exactly one file, and the lines after the check go
// to a new file under the old name.
TEST_F(AccessLogFileTest, FollowsItsPathWhenTheFileIsRotatedAway) {
    TAccessLog log;
    log.Open(path_);
    constexpr int Writers = 20;
    std::atomic<int> written{0};
    std::atomic<bool> rotated{false};
    std::atomic<int> afterCheck{0};
    const auto checked = steady_clock::now() + 3 * milliseconds(TAccessLog::CheckIntervalMs);
    std::vector<std::thread> writers;
    for (int w = 0; w < Writers; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; afterCheck < 200; ++i) {
                log.Write(Record("GET", "/" + std::to_string(w) + "/" + std::to_string(i) + std::string(300, 'x'), 200));
                ++written;
                if (rotated && steady_clock::now() > checked) {
                    ++afterCheck;
                }
                std::this_thread::sleep_for(1ms);
            }
        });
    }
    while (written < 200) {
        std::this_thread::sleep_for(1ms);
    }
    fs::rename(path_, path_ + ".1");
    rotated = true;
    for (std::thread& writer : writers) {
        writer.join();
    }
    const std::vector<std::string> before = LinesOf(path_ + ".1");
    const std::vector<std::string> after = Lines();
    EXPECT_FALSE(before.empty());
    EXPECT_GE(after.size(), 200U) << "nothing went to the new file";
    std::vector<std::string> all = before;
    all.insert(all.end(), after.begin(), after.end());
    EXPECT_EQ(all.size(), static_cast<size_t>(written.load())) << "lines lost or doubled";
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "a line in both files";
    const std::string ending = std::string(300, 'x') + " 200 1234 56 15";
    for (const std::string& line : all) {
        ASSERT_TRUE(line.rfind("2026-12-08T10:15:30.123Z 127.0.0.1 - GET /", 0) == 0 && line.ends_with(ending))
            << "a torn line: " << line;
    }
}

TEST_F(AccessLogFileTest, FileThatCannotBeOpenedIsNamedWithTheReason) {
    const std::string missing = (directory_ / "no-such-directory" / "access.log").string();
    TAccessLog log;
    try {
        log.Open(missing);
        FAIL() << "opened " << missing;
    } catch (const EAccessLogError& error) {
        const std::string prefix = "Cannot open the access log \"" + missing + "\": ";
        EXPECT_EQ(error.Message().rfind(prefix, 0), 0U) << error.Message();
        EXPECT_GT(error.Message().size(), prefix.size()) << "no reason given";
        EXPECT_STREQ(error.ClassName(), "EAccessLogError");
    }
    EXPECT_FALSE(log.IsOpen());
    // Writing without a file is no error.
    log.Write(Record("GET", "/", 200));
}

}  // namespace

// RequestLogTest: byte counts and clipped fields, the cleaning of network
// text before it reaches a console, the log entry in each console mode, and
// the counter and try-lock under concurrent workers.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/RequestLog.h"
#include "tests/app/ConsoleCapture.h"

namespace {

using namespace std::chrono_literals;

struct TByteCountCase {
    uint64_t count;
    const char* text;
};

class FormatByteCountTest : public ::testing::TestWithParam<TByteCountCase> {};

TEST_P(FormatByteCountTest, Formats) {
    EXPECT_EQ(FormatByteCount(GetParam().count), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FormatByteCountTest,
    ::testing::Values(TByteCountCase{0, "0 Bytes"}, TByteCountCase{1023, "1023 Bytes"},
                      TByteCountCase{1024, "1 KB"}, TByteCountCase{1100, "1 KB"},
                      TByteCountCase{1048575, "1023 KB"}, TByteCountCase{1048576, "1 MB"},
                      TByteCountCase{1073741823, "1023 MB"}, TByteCountCase{1073741824, ""},
                      TByteCountCase{4294967295U, ""}, TByteCountCase{uint64_t{5} << 32, ""}));

TEST(ClipLogFieldTest, ClipsFromFiftyThreeCharacters) {
    const std::string host60(60, 'h');
    EXPECT_EQ(ClipLogField(""), "");
    EXPECT_EQ(ClipLogField(std::string(52, 'h')), std::string(52, 'h'));
    EXPECT_EQ(ClipLogField(std::string(53, 'h')), std::string(50, 'h') + "...");
    EXPECT_EQ(ClipLogField(host60), std::string(50, 'h') + "...");
}

struct TSanitizeCase {
    std::string input;
    bool windowsConsole;
    std::string expected;
};

class SanitizeConsoleTextTest : public ::testing::TestWithParam<TSanitizeCase> {};

TEST_P(SanitizeConsoleTextTest, ReplacesControls) {
    EXPECT_EQ(SanitizeConsoleText(GetParam().input, GetParam().windowsConsole),
              GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SanitizeConsoleTextTest,
    ::testing::Values(
        TSanitizeCase{"example.com:8080", false, "example.com:8080"},
        TSanitizeCase{"evil\x1b]0;owned\a.com", false, "evil?]0;owned?.com"},
        TSanitizeCase{"a\r\nb\tc", true, "a??b?c"},
        TSanitizeCase{std::string("nul\0x", 5), false, "nul?x"},
        TSanitizeCase{"del\x7f", true, "del?"},
        // C1 controls: CSI (0x9B) would start a sequence on an 8-bit terminal.
        TSanitizeCase{"\x80\x9b\x9f", false, "???"},
        TSanitizeCase{"\x80\x9b\x9f", true, "\x80\x9b\x9f"},
        TSanitizeCase{"\xa0\xc3\xa9\xff", false, "\xa0\xc3\xa9\xff"}));

class RequestLogTest : public TConsoleFixture {
protected:
    // A terminal whose start-up ended on row 3; the log rows are 5, 6, 7.
    void StartTerminal() {
        UseStream(cmTerminal);
        WriteText("a\nb\nc\nProxy server is active...");
        CaptureLogBaseRow();
        ClearOutput();
        LogReady.store(true);
    }
};

TEST_F(RequestLogTest, TerminalEntryFillsRowsUnderTheBase) {
    StartTerminal();
    WriteRequestLog("example.com", "127.0.0.1", "1 KB");
    const std::string white = "\x1b[0;97m";
    const std::string grey = "\x1b[0;37m";
    EXPECT_EQ(Output(), "\r\x1b[2B" + white + "Request: " + grey + "example.com" +
                            std::string(43, ' ') +
                            "\r\x1b[1B" + white + "From: " + grey + "127.0.0.1" +
                            std::string(45, ' ') +
                            "\r\x1b[1B" + white + "Size: " + grey + "1 KB" +
                            std::string(50, ' '));
    EXPECT_TRUE(LogReady.load());
}

TEST_F(RequestLogTest, LongAndHostileValuesAreCleanedAndClipped) {
    StartTerminal();
    const std::string host52(52, 'a');
    const std::string hostile = "x\x1b[2J" + std::string(60, 'b');
    WriteRequestLog(host52, hostile, "");
    const std::string output = Output();
    EXPECT_NE(output.find(host52 + "  \r"), std::string::npos);
    EXPECT_NE(output.find("x?[2J" + std::string(45, 'b') + "...\r"), std::string::npos);
    EXPECT_EQ(output.find("\x1b[2J"), std::string::npos);
    // An empty size still wipes the whole row.
    EXPECT_EQ(output.substr(output.size() - 54), std::string(54, ' '));
}

TEST_F(RequestLogTest, WindowsConsoleEntryUsesAbsoluteRowsAndKeepsHighBytes) {
    UseRecorder(10);
    CaptureLogBaseRow();
    ClearOutput();
    LogReady.store(true);
    WriteRequestLog("caf\x82.example", "::1", "5 Bytes");
    EXPECT_EQ(Output(), "{M0,12}{C15}Request: {C7}caf\x82.example" + std::string(42, ' ') +
                            "{M0,13}{C15}From: {C7}::1" + std::string(51, ' ') +
                            "{M0,14}{C15}Size: {C7}5 Bytes" + std::string(47, ' '));
}

TEST_F(RequestLogTest, RedirectedEntryIsThreePlainLines) {
    UseStream(cmRedirected);
    LogReady.store(true);
    WriteRequestLog("host\r\n.example", std::string(60, 'c'), "2 MB");
    EXPECT_EQ(Output(), "Request: host??.example\nFrom: " + std::string(50, 'c') +
                            "...\nSize: 2 MB\n");
}

TEST_F(RequestLogTest, DocumentBeforeStartUpEndsOnlyCounts) {
    UseStream(cmTerminal);
    CountAndLogDocument("example.com", "127.0.0.1", 1000);
    CountAndLogDocument("example.com", "127.0.0.1", 100);
    EXPECT_EQ(TotalBytes.load(), 1100U);
    EXPECT_EQ(Output(), "\x1b]0;Vantrel - [1000 Bytes]\a\x1b]0;Vantrel - [1 KB]\a");
}

TEST_F(RequestLogTest, DocumentAfterStartUpIsLogged) {
    UseStream(cmRedirected);
    LogReady.store(true);
    CountAndLogDocument("example.com", "10.1.2.3", 2048);
    EXPECT_EQ(Output(), "Request: example.com\nFrom: 10.1.2.3\nSize: 2 KB\n");
}

// A relayed body can pass 4 GiB on its own; neither it nor the total may
// come out as the small remainder of a 32-bit count.
TEST_F(RequestLogTest, SizesAndTotalCountPastThirtyTwoBits) {
    UseStream(cmRedirected);
    TotalBytes.store(4294967295U - 9U);
    CountAndLogDocument("example.com", "127.0.0.1", 20);
    EXPECT_EQ(TotalBytes.load(), 4294967306U);
    LogReady.store(true);
    CountAndLogDocument("example.com", "127.0.0.1", (uint64_t{1} << 32) + 100);
    EXPECT_EQ(TotalBytes.load(), 8589934702U);
    EXPECT_EQ(Output(), "Request: example.com\nFrom: 127.0.0.1\nSize: \n");
}

// Blocks the first write of an entry until released, holding that entry's
// writer in the middle of the log rows.
class TGatedConsole final : public TConsoleDevice {
public:
    explicit TGatedConsole(TCaptureSink& sink) : write_(sink.Writer()) {}

    TConsoleMode Mode() const override { return cmWindowsConsole; }
    bool BoxAsUtf8() const override { return false; }
    void Begin() override {}
    void End() override {}
    void Write(std::string_view bytes) override {
        if (bytes == "Request: ") {
            std::unique_lock guard(lock_);
            entered_ = true;
            changed_.notify_all();
            changed_.wait(guard, [this] { return released_; });
        }
        write_(bytes);
    }
    void SetColor(uint16_t) override {}
    void SetTitle(std::string_view) override {}
    void MoveCursor(int16_t, int16_t) override {}
    int16_t PrepareRowsBelow(int16_t) override { return 0; }

    bool WaitEntered(std::chrono::milliseconds timeout) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, timeout, [this] { return entered_; });
    }
    void Release() {
        std::scoped_lock guard(lock_);
        released_ = true;
        changed_.notify_all();
    }

private:
    TConsoleWriter write_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool entered_ = false;   // guarded by lock_
    bool released_ = false;  // guarded by lock_
};

TEST_F(RequestLogTest, EntryArrivingDuringAnotherIsDropped) {
    auto device = std::make_unique<TGatedConsole>(sink_);
    TGatedConsole& gate = *device;
    InitConsole(std::move(device));
    LogReady.store(true);

    std::thread first([] { WriteRequestLog("first.example", "10.0.0.1", "1 KB"); });
    ASSERT_TRUE(gate.WaitEntered(10s));

    // The second writer must give up at once, not wait for the console.
    auto second = std::async(std::launch::async,
                             [] { WriteRequestLog("second.example", "10.0.0.2", "2 KB"); });
    const bool returned = second.wait_for(10s) == std::future_status::ready;
    gate.Release();
    first.join();
    second.get();

    EXPECT_TRUE(returned);
    EXPECT_NE(Output().find("first.example"), std::string::npos);
    EXPECT_EQ(Output().find("second.example"), std::string::npos);
    EXPECT_TRUE(LogReady.load());
}

// Checks, call by call, that log entries never overlap: rows come in the
// order 1, 2, 3, and the three values of an entry come from one worker.
class TEntryCheckingConsole final : public TConsoleDevice {
public:
    TConsoleMode Mode() const override { return cmWindowsConsole; }
    bool BoxAsUtf8() const override { return false; }
    void Begin() override {}
    void End() override {}
    void Write(std::string_view bytes) override {
        if (expectValue_) {
            expectValue_ = false;
            const std::string worker(bytes.substr(bytes.find('-') + 1));
            if (row_ == 1) {
                entryWorker_ = worker;
                ++entries_;
            } else if (row_ == 2 && worker != entryWorker_) {
                ++mixedEntries_;
            }
        }
    }
    void SetColor(uint16_t attribute) override { expectValue_ = attribute == ColorNormal; }
    void SetTitle(std::string_view title) override {
        lastTitle_ = std::string(title);
        ++titles_;
    }
    void MoveCursor(int16_t, int16_t y) override {
        if (y - 1 != row_ % 3 + 1) {
            ++misorderedRows_;
        }
        row_ = y - 1;
    }
    int16_t PrepareRowsBelow(int16_t) override { return 0; }

    // Read after the workers have been joined.
    int row_ = 3;
    bool expectValue_ = false;
    std::string entryWorker_;
    int entries_ = 0;
    int mixedEntries_ = 0;
    int misorderedRows_ = 0;
    int titles_ = 0;
    std::string lastTitle_;
};

TEST_F(RequestLogTest, ConcurrentWorkersLoseNoBytesAndNeverMixEntries) {
    auto device = std::make_unique<TEntryCheckingConsole>();
    const TEntryCheckingConsole& check = *device;
    InitConsole(std::move(device));
    CaptureLogBaseRow();
    LogReady.store(true);

    constexpr int Workers = 16;
    constexpr int Documents = 10000;
    std::vector<std::thread> workers;
    for (int w = 0; w < Workers; ++w) {
        workers.emplace_back([w] {
            const std::string document = "host-" + std::to_string(w);
            const std::string client = "client-" + std::to_string(w);
            for (int i = 0; i < Documents; ++i) {
                CountAndLogDocument(document, client, 1);
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }

    EXPECT_EQ(TotalBytes.load(), static_cast<uint64_t>(Workers * Documents));
    EXPECT_EQ(check.titles_, Workers * Documents);
    EXPECT_EQ(check.lastTitle_, "Vantrel - [156 KB]");
    EXPECT_GT(check.entries_, 0);
    EXPECT_EQ(check.mixedEntries_, 0);
    EXPECT_EQ(check.misorderedRows_, 0);
}

}  // namespace

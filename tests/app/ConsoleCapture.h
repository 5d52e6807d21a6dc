// ConsoleCapture: test doubles for the shell's console: a byte sink for the
// stream devices, a recording stand-in for the Windows console API, and a
// fixture that binds them and records the start-up pauses instead of
// sleeping.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/Console.h"
#include "app/RequestLog.h"

class TCaptureSink {
public:
    TConsoleWriter Writer() {
        return [this](std::string_view bytes) {
            std::scoped_lock guard(lock_);
            bytes_.append(bytes);
        };
    }
    std::string Bytes() {
        std::scoped_lock guard(lock_);
        return bytes_;
    }
    void Clear() {
        std::scoped_lock guard(lock_);
        bytes_.clear();
    }

private:
    std::mutex lock_;
    std::string bytes_;  // guarded by lock_
};

// Stands in for the Windows console: text goes to the sink as it is, every
// API call as a readable marker: {C7} colour, {T:text} title, {M0,5} cursor
// move, {P} rows prepared, {B}/{E} begin and end.
class TRecordingConsole final : public TConsoleDevice {
public:
    TRecordingConsole(TCaptureSink& sink, int16_t cursorRow)
        : write_(sink.Writer()), cursorRow_(cursorRow) {}

    TConsoleMode Mode() const override { return cmWindowsConsole; }
    bool BoxAsUtf8() const override { return false; }
    void Begin() override { write_("{B}"); }
    void End() override { write_("{E}"); }
    void Write(std::string_view bytes) override { write_(bytes); }
    void SetColor(uint16_t attribute) override { write_("{C" + std::to_string(attribute) + "}"); }
    void SetTitle(std::string_view title) override { write_("{T:" + std::string(title) + "}"); }
    void MoveCursor(int16_t x, int16_t y) override {
        write_("{M" + std::to_string(x) + "," + std::to_string(y) + "}");
    }
    int16_t PrepareRowsBelow(int16_t) override {
        write_("{P}");
        return cursorRow_;
    }

private:
    TConsoleWriter write_;
    int16_t cursorRow_;
};

// Binds the console to a capture for each test and gives it back after.
class TConsoleFixture : public ::testing::Test {
protected:
    void SetUp() override {
        SetPauseFunction([this](int32_t ms) { pauses_.push_back(ms); });
        TotalBytes.store(0);
        LogReady.store(false);
    }

    void TearDown() override {
        InitConsole(nullptr);
        SetPauseFunction(nullptr);
        LogReady.store(false);
    }

    // Binds a stream device in the given mode; the output of the binding
    // itself (the hidden cursor) is dropped.
    void UseStream(TConsoleMode mode, bool boxAsUtf8 = true) {
        InitConsole(CreateStreamDevice(sink_.Writer(), mode, boxAsUtf8));
        sink_.Clear();
    }

    void UseRecorder(int16_t cursorRow = 0) {
        InitConsole(std::make_unique<TRecordingConsole>(sink_, cursorRow));
        sink_.Clear();
    }

    std::string Output() { return sink_.Bytes(); }
    void ClearOutput() { sink_.Clear(); }

    TCaptureSink sink_;
    std::vector<int32_t> pauses_;
};

// Console: the platform-neutral half of the shell's console: the one lock
// around the active device, the stream devices for ANSI terminals and
// redirected output, and the start-up pauses.
#include "app/Console.h"

#include <cstdio>
#include <mutex>
#include <utility>

#include "base/IdGlobal.h"

namespace {

// The row span the request log needs below LogBaseRow (rows + 1 to + 4).
constexpr int16_t LogRowsBelowBase = 4;

// Windows attribute bits are blue=1, green=2, red=4; ANSI colour numbers
// are red=1, green=2, blue=4.
int AnsiColorNumber(unsigned windowsBits) {
    return ((windowsBits & 4U) != 0 ? 1 : 0) | ((windowsBits & 2U) != 0 ? 2 : 0) |
           ((windowsBits & 1U) != 0 ? 4 : 0);
}

std::string SgrForAttribute(uint16_t attribute) {
    const unsigned foreground = attribute & 0x0FU;
    const unsigned background = (attribute >> 4) & 0x0FU;
    const int fgBase = (foreground & 8U) != 0 ? 90 : 30;
    std::string sgr = "\x1b[0;" + std::to_string(fgBase + AnsiColorNumber(foreground));
    // A black background keeps the terminal's own background.
    if (background != 0) {
        const int bgBase = (background & 8U) != 0 ? 100 : 40;
        sgr += ";" + std::to_string(bgBase + AnsiColorNumber(background));
    }
    return sgr + "m";
}

class TAnsiDevice final : public TConsoleDevice {
public:
    TAnsiDevice(TConsoleWriter writer, bool boxAsUtf8)
        : writer_(std::move(writer)), boxAsUtf8_(boxAsUtf8) {}

    TConsoleMode Mode() const override { return cmTerminal; }
    bool BoxAsUtf8() const override { return boxAsUtf8_; }
    void Begin() override { writer_("\x1b[?25l"); }
    void End() override { writer_("\x1b[0m\x1b[?25h"); }

    void Write(std::string_view bytes) override {
        writer_(bytes);
        for (const char c : bytes) {
            if (c == '\n') {
                ++row_;
            }
        }
    }

    void SetColor(uint16_t attribute) override { writer_(SgrForAttribute(attribute)); }

    void SetTitle(std::string_view title) override {
        std::string osc = "\x1b]0;";
        osc.append(title);
        osc += '\a';
        writer_(osc);
    }

    // The absolute row on a terminal is unknown (and changes with
    // scrolling), so rows count line ends since start-up and every move is
    // made relative to the row the cursor was last left on.
    void MoveCursor(int16_t x, int16_t y) override {
        std::string move = "\r";
        const int32_t down = static_cast<int32_t>(y) - row_;
        if (down > 0) {
            move += "\x1b[" + std::to_string(down) + "B";
        } else if (down < 0) {
            move += "\x1b[" + std::to_string(-down) + "A";
        }
        if (x > 0) {
            move += "\x1b[" + std::to_string(x) + "C";
        }
        writer_(move);
        row_ = y;
    }

    // Cursor-down stops at the bottom of the screen instead of scrolling, so
    // the rows are made by line ends before anything moves into them.
    int16_t PrepareRowsBelow(int16_t rows) override {
        if (rows > 0) {
            std::string reserve(static_cast<size_t>(rows), '\n');
            reserve += "\x1b[" + std::to_string(rows) + "A";
            writer_(reserve);
        }
        return static_cast<int16_t>(row_);
    }

private:
    TConsoleWriter writer_;
    bool boxAsUtf8_;
    int32_t row_ = 0;
};

class TPlainDevice final : public TConsoleDevice {
public:
    TPlainDevice(TConsoleWriter writer, bool boxAsUtf8)
        : writer_(std::move(writer)), boxAsUtf8_(boxAsUtf8) {}

    TConsoleMode Mode() const override { return cmRedirected; }
    bool BoxAsUtf8() const override { return boxAsUtf8_; }
    void Begin() override {}
    void End() override {}
    void Write(std::string_view bytes) override { writer_(bytes); }
    void SetColor(uint16_t) override {}
    void SetTitle(std::string_view) override {}
    void MoveCursor(int16_t, int16_t) override {}

    // Log entries are appended as lines, so the open start-up line is ended.
    int16_t PrepareRowsBelow(int16_t) override {
        writer_("\n");
        return 0;
    }

private:
    TConsoleWriter writer_;
    bool boxAsUtf8_;
};

struct TConsoleState {
    std::mutex lock;
    std::unique_ptr<TConsoleDevice> device;  // guarded by lock
    int16_t logBaseRow = 0;                  // guarded by lock
    bool logAreaPrepared = false;            // guarded by lock
    bool restored = false;                   // guarded by lock

    std::mutex pauseLock;
    std::function<void(int32_t)> pause;  // guarded by pauseLock; null = SleepMs
};

TConsoleState& State() {
    static TConsoleState state;
    return state;
}

}  // namespace

std::string BoxText(TBoxPiece piece, bool asUtf8) {
    if (!asUtf8) {
        return std::string(1, static_cast<char>(piece));
    }
    switch (piece) {
    case bpTopLeft:
        return "\u2554";
    case bpHorizontal:
        return "\u2550";
    case bpTopRight:
        return "\u2557";
    case bpVertical:
        return "\u2551";
    case bpBottomLeft:
        return "\u255A";
    case bpBottomRight:
        return "\u255D";
    }
    return "?";
}

void WriteStdOut(std::string_view bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

std::unique_ptr<TConsoleDevice> CreateStreamDevice(TConsoleWriter writer, TConsoleMode mode,
                                                   bool boxAsUtf8) {
    if (mode == cmTerminal) {
        return std::make_unique<TAnsiDevice>(std::move(writer), boxAsUtf8);
    }
    return std::make_unique<TPlainDevice>(std::move(writer), boxAsUtf8);
}

void InitConsole() {
    InitConsole(CreateStdOutDevice());
}

void InitConsole(std::unique_ptr<TConsoleDevice> device) {
    TConsoleState& state = State();
    std::scoped_lock guard(state.lock);
    state.device = std::move(device);
    state.logBaseRow = 0;
    state.logAreaPrepared = false;
    state.restored = false;
    if (state.device) {
        state.device->Begin();
    }
}

void RestoreConsole() {
    TConsoleState& state = State();
    std::scoped_lock guard(state.lock);
    if (!state.device || state.restored) {
        return;
    }
    state.restored = true;
    // The cursor may sit on a log row; whatever runs next (the shell's
    // prompt) starts on the line under the last one.
    if (state.logAreaPrepared && state.device->Mode() != cmRedirected) {
        state.device->MoveCursor(0, static_cast<int16_t>(state.logBaseRow + LogRowsBelowBase));
        state.device->Write("\n");
    }
    state.device->End();
}

TConsoleMode ConsoleMode() {
    TConsoleState& state = State();
    std::scoped_lock guard(state.lock);
    return state.device ? state.device->Mode() : cmRedirected;
}

bool IsTerminal() {
    return ConsoleMode() != cmRedirected;
}

void SetTitle(std::string_view title) {
    TConsoleState& state = State();
    std::scoped_lock guard(state.lock);
    if (state.device) {
        state.device->SetTitle(title);
    }
}

void SetTitleFrom(const std::function<std::string()>& makeTitle) {
    TConsoleState& state = State();
    std::scoped_lock guard(state.lock);
    if (state.device) {
        state.device->SetTitle(makeTitle());
    }
}

void SetColor(uint16_t attribute) {
    TConsoleState& state = State();
    std::scoped_lock guard(state.lock);
    if (state.device) {
        state.device->SetColor(attribute);
    }
}

void WriteText(std::string_view text) {
    TConsoleState& state = State();
    std::scoped_lock guard(state.lock);
    if (state.device && !text.empty()) {
        state.device->Write(text);
    }
}

void WriteLineEnd() {
    WriteText("\n");
}

void WriteRepeated(char c, int32_t count) {
    if (count > 0) {
        WriteText(std::string(static_cast<size_t>(count), c));
    }
}

void WriteRepeated(TBoxPiece piece, int32_t count) {
    TConsoleState& state = State();
    std::scoped_lock guard(state.lock);
    if (!state.device || count <= 0) {
        return;
    }
    const std::string one = BoxText(piece, state.device->BoxAsUtf8());
    std::string text;
    text.reserve(one.size() * static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        text += one;
    }
    state.device->Write(text);
}

void MoveCursor(int16_t x, int16_t y) {
    TConsoleState& state = State();
    std::scoped_lock guard(state.lock);
    if (state.device) {
        state.device->MoveCursor(x, y);
    }
}

void CaptureLogBaseRow() {
    TConsoleState& state = State();
    std::scoped_lock guard(state.lock);
    if (state.device) {
        state.logBaseRow = state.device->PrepareRowsBelow(LogRowsBelowBase);
        state.logAreaPrepared = true;
    }
}

int16_t LogBaseRow() {
    TConsoleState& state = State();
    std::scoped_lock guard(state.lock);
    return state.logBaseRow;
}

void MoveToLogRow(int16_t n) {
    TConsoleState& state = State();
    std::scoped_lock guard(state.lock);
    if (state.device) {
        state.device->MoveCursor(0, static_cast<int16_t>(state.logBaseRow + 1 + n));
    }
}

void SetPauseFunction(std::function<void(int32_t ms)> pause) {
    TConsoleState& state = State();
    std::scoped_lock guard(state.pauseLock);
    state.pause = std::move(pause);
}

void Pause(int32_t ms) {
    std::function<void(int32_t)> pause;
    {
        TConsoleState& state = State();
        std::scoped_lock guard(state.pauseLock);
        pause = state.pause;
    }
    if (pause) {
        pause(ms);
    } else {
        SleepMs(ms);
    }
}

// ConsoleWindows: the console device for the Windows console, driven by the
// console API (attributes, cursor, title), and the choice between it and
// plain output when standard output is a file or a pipe. The console shows
// the code page 437 box bytes as they are.
#include "app/Console.h"

#ifdef _WIN32

#include <windows.h>

namespace {

class TWindowsConsoleDevice final : public TConsoleDevice {
public:
    TWindowsConsoleDevice(HANDLE consoleOut, WORD startAttributes)
        : consoleOut_(consoleOut), startAttributes_(startAttributes) {}

    TConsoleMode Mode() const override { return cmWindowsConsole; }
    bool BoxAsUtf8() const override { return false; }

    void Begin() override {
        CONSOLE_CURSOR_INFO info{};
        if (GetConsoleCursorInfo(consoleOut_, &info) != 0) {
            startVisible_ = info.bVisible;
            info.bVisible = FALSE;
            SetConsoleCursorInfo(consoleOut_, &info);
        }
    }

    void End() override {
        SetConsoleTextAttribute(consoleOut_, startAttributes_);
        CONSOLE_CURSOR_INFO info{};
        if (GetConsoleCursorInfo(consoleOut_, &info) != 0) {
            info.bVisible = startVisible_;
            SetConsoleCursorInfo(consoleOut_, &info);
        }
    }

    // Text goes through the C runtime so that line ends become CR LF; it is
    // flushed before any attribute or cursor call that follows.
    void Write(std::string_view bytes) override { WriteStdOut(bytes); }

    void SetColor(uint16_t attribute) override {
        SetConsoleTextAttribute(consoleOut_, static_cast<WORD>(attribute));
    }

    void SetTitle(std::string_view title) override {
        const std::string text(title);
        SetConsoleTitleA(text.c_str());
    }

    void MoveCursor(int16_t x, int16_t y) override {
        COORD position{};
        position.X = x;
        position.Y = y;
        SetConsoleCursorPosition(consoleOut_, position);
    }

    // Setting the cursor below the end of the screen buffer fails, so the
    // rows are made by line ends (which scroll the buffer when needed); the
    // base row is read after that and counted back.
    int16_t PrepareRowsBelow(int16_t rows) override {
        CONSOLE_SCREEN_BUFFER_INFO before{};
        if (GetConsoleScreenBufferInfo(consoleOut_, &before) == 0) {
            return 0;
        }
        if (rows <= 0) {
            return before.dwCursorPosition.Y;
        }
        WriteStdOut(std::string(static_cast<size_t>(rows), '\n'));
        CONSOLE_SCREEN_BUFFER_INFO after{};
        if (GetConsoleScreenBufferInfo(consoleOut_, &after) == 0) {
            return before.dwCursorPosition.Y;
        }
        const auto base = static_cast<int16_t>(after.dwCursorPosition.Y - rows);
        MoveCursor(before.dwCursorPosition.X, base);
        return base;
    }

private:
    HANDLE consoleOut_;
    WORD startAttributes_;
    BOOL startVisible_ = TRUE;
};

}  // namespace

std::unique_ptr<TConsoleDevice> CreateStdOutDevice() {
    HANDLE consoleOut = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    // Only a console handle has a screen buffer; a file or a pipe gets the
    // text alone, with the box bytes as the console would have shown them.
    if (consoleOut != nullptr && consoleOut != INVALID_HANDLE_VALUE &&
        GetConsoleScreenBufferInfo(consoleOut, &info) != 0) {
        return std::make_unique<TWindowsConsoleDevice>(consoleOut, info.wAttributes);
    }
    return CreateStreamDevice(WriteStdOut, cmRedirected, false);
}

#endif  // _WIN32

// Console: the shell's only user interface. Text, colours, the window title,
// cursor visibility and placement go through one console device, chosen at
// start-up: the Windows console API, an ANSI terminal, or plain redirected
// output. Every operation is serialised by one lock and flushed at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

enum TConsoleMode : uint8_t {
    cmRedirected,      // not a terminal: plain text only, no escape sequences
    cmTerminal,        // a terminal driven by ANSI/VT escape sequences
    cmWindowsConsole,  // the Windows console, driven by its API
};

// Console character attributes (foreground colour on black).
constexpr uint16_t ColorNormal = 7;    // light grey
constexpr uint16_t ColorProduct = 11;  // light cyan
constexpr uint16_t ColorLabel = 15;    // bright white

// The double-line box pieces of the banner, valued as their code page 437
// bytes; each device decides how they reach the screen.
enum TBoxPiece : uint8_t {
    bpTopLeft = 0xC9,
    bpHorizontal = 0xCD,
    bpTopRight = 0xBB,
    bpVertical = 0xBA,
    bpBottomLeft = 0xC8,
    bpBottomRight = 0xBC,
};

// The byte form of a box piece: the single code page 437 byte, or its UTF-8
// box-drawing character.
std::string BoxText(TBoxPiece piece, bool asUtf8);

// Where console output ends up. Operations a device cannot carry out are
// ignored; none of them reports failure. Calls arrive one at a time, under
// the console lock.
class TConsoleDevice {
public:
    virtual ~TConsoleDevice() = default;
    virtual TConsoleMode Mode() const = 0;
    virtual bool BoxAsUtf8() const = 0;
    // Hides the cursor for the run.
    virtual void Begin() = 0;
    // Brings back the colours and the cursor the run started with.
    virtual void End() = 0;
    // Writes the bytes and flushes them.
    virtual void Write(std::string_view bytes) = 0;
    virtual void SetColor(uint16_t attribute) = 0;
    virtual void SetTitle(std::string_view title) = 0;
    virtual void MoveCursor(int16_t x, int16_t y) = 0;
    // Makes sure that the given number of rows exist below the cursor row
    // (scrolling now rather than under a later log entry) and returns the
    // cursor row in the device's coordinates.
    virtual int16_t PrepareRowsBelow(int16_t rows) = 0;
};

using TConsoleWriter = std::function<void(std::string_view bytes)>;

// A device over a byte stream: cmTerminal speaks ANSI escape sequences and
// tracks its row relative to the start, cmRedirected writes the text alone.
std::unique_ptr<TConsoleDevice> CreateStreamDevice(TConsoleWriter writer, TConsoleMode mode,
                                                   bool boxAsUtf8);
// Writes the bytes to this process's standard output and flushes them.
void WriteStdOut(std::string_view bytes);
// The device for this process's standard output (ConsoleOut), picked by what
// standard output turns out to be.
std::unique_ptr<TConsoleDevice> CreateStdOutDevice();

// Binds the console to standard output and hides the cursor.
void InitConsole();
// Binds the console to the given device (null detaches it: output is then
// dropped) and hides the cursor.
void InitConsole(std::unique_ptr<TConsoleDevice> device);
// Leaves the screen usable for whatever runs next: the cursor below the log
// rows, colours reset, cursor visible. Only the first call after InitConsole
// does anything.
void RestoreConsole();

TConsoleMode ConsoleMode();
// True for a terminal or the Windows console, false for redirected output.
bool IsTerminal();

void SetTitle(std::string_view title);
// Builds the title under the console lock, so that of several threads the
// one that sets the title last also computes it last.
void SetTitleFrom(const std::function<std::string()>& makeTitle);
void SetColor(uint16_t attribute);
void WriteText(std::string_view text);
void WriteLineEnd();
void WriteRepeated(char c, int32_t count);
void WriteRepeated(TBoxPiece piece, int32_t count);
void MoveCursor(int16_t x, int16_t y);

// Records the cursor row as LogBaseRow and reserves the log rows under it.
void CaptureLogBaseRow();
int16_t LogBaseRow();
// Column 0 of row LogBaseRow + 1 + n (16-bit arithmetic).
void MoveToLogRow(int16_t n);

// The pauses of the start-up sequence; tests replace the sleeping function
// (null restores the real one).
void SetPauseFunction(std::function<void(int32_t ms)> pause);
void Pause(int32_t ms);

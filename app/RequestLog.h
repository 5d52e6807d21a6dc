// RequestLog: the running total of relayed body bytes (shown in the window
// title) and the three console rows that show the latest request. Called on
// the proxy's worker threads, several at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/Console.h"

// Sum of all reported body sizes (a relayed body can be larger than 4 GiB).
extern std::atomic<uint64_t> TotalBytes;
// Try-lock of the log rows: false until start-up ends and while an entry is
// being written. A writer takes it by exchanging it for false.
extern std::atomic<bool> LogReady;

// The values a log row clips to, and the row width a shorter value is
// filled up to so that it wipes out a longer predecessor.
constexpr size_t LogFieldLimit = 53;
constexpr size_t LogFieldWidth = 54;

// "n Bytes" below 1024, "n KB" below 1 MiB, "n MB" below 1 GiB, else "".
std::string FormatByteCount(uint64_t count);
// At most LogFieldLimit characters: longer texts keep 50 and gain "...".
std::string ClipLogField(std::string_view text);
// Replaces with "?" every byte a console would take as a control: below 32,
// 127, and (except on the Windows console, which shows them as code page
// 437 letters) 128 to 159, the C1 controls of ANSI terminals. Keeps the
// length, so clipping and filling work on the cleaned text alike.
std::string SanitizeConsoleText(std::string_view text, bool windowsConsole);

// Writes one entry (dropped when LogReady is taken): on a console the three
// log rows under LogBaseRow; on redirected output three appended lines.
void WriteRequestLog(std::string_view request, std::string_view from, std::string_view size);

// Writes one line of the proxy's own (a reload's outcome), never dropped:
// on a console on the row between "Proxy server is active..." and the log
// rows, clipped to NoticeWidth and filled up to it; on redirected output
// as an appended line. Only once start-up is over.
constexpr size_t NoticeWidth = 79;
void WriteNotice(std::string_view text);

// The shell's handler for a relayed document: adds size to TotalBytes,
// shows the total in the title, and logs the entry once start-up is over.
void CountAndLogDocument(const std::string& document, const std::string& host, uint64_t size);

// IdGlobal: the text and address helpers shared by every layer (cutting a
// field at a delimiter, trimming, integer conversion with a default, IPv6
// text), plus the basic types (byte arrays, timeouts, IP versions).
// Text is 8-bit: one byte per character, never translated.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using TIdBytes = std::vector<uint8_t>;

constexpr int32_t TimeoutDefault = -1;   // the connection's configured ReadTimeout
constexpr int32_t TimeoutInfinite = -2;  // wait without limit

enum TIdIPVersion : int32_t { Id_IPv4 = 0, Id_IPv6 = 1 };

constexpr char CR = '\r';
constexpr char LF = '\n';
constexpr std::string_view EOL = "\r\n";

// Removes every character of code 32 or below from both ends.
std::string TrimText(std::string_view text);

// 1-based position of the first occurrence of sub in text, 0 when absent
// (also for an empty sub).
int FindSubText(std::string_view sub, std::string_view text);

// Returns the part of source before the first delimiter; with remove the
// source keeps only what follows the delimiter (empty when there is none).
std::string CutField(std::string& source, std::string_view delimiter, bool remove = true,
                     bool matchCase = true);

// The strict integer rules of the settings file: leading blanks (code 32),
// optional sign, decimal or hexadecimal ("$", "x", "X", "0x", "0X") to the end
// of the text; false on anything else or on overflow.
bool TryTextToInt(std::string_view text, int32_t& value);

// TryTextToInt of the trimmed text, or def.
int32_t TextToIntDef(std::string_view text, int32_t def);

// How a text reads under the rules of TryTextToInt taken to 64 bits (up to
// sixteen hexadecimal digits, their 64 bits taken as signed). An integer
// that does not fit says on which side it left the range, so that a reader
// can tell a number too large for it from text that is no number at all.
enum class TIntegerRead { Value, NotInteger, TooLarge, TooSmall };
TIntegerRead ReadInteger64(std::string_view text, int64_t& value);

bool EqualIgnoringCase(std::string_view a, std::string_view b);
// The value of a hexadecimal digit (either letter case); -1 for any other
// character.
int HexDigitValue(char c);

// Case-insensitive three-way comparison (ASCII letters fold), for sorting.
int CompareIgnoringCase(std::string_view a, std::string_view b);
std::string UpperCaseAscii(std::string_view text);

TIdBytes TextToBytes(std::string_view text);
std::string BytesToText(const TIdBytes& bytes, int32_t start = 0, int32_t count = -1);

// The RFC 5952 form of an IPv6 text (read as TryParseIPAddress reads it),
// or "" when it is not one.
std::string CanonicalIPv6Text(std::string_view text);
using TIdIPv6Address = std::array<uint16_t, 8>;
TIdIPv6Address ParseIPv6Text(std::string_view text);

// Milliseconds from a monotonic clock, low 32 bits (wraps).
uint32_t TickCountMs();
// Elapsed milliseconds between two TickCountMs readings, wrap-aware.
uint32_t TickDiff(uint32_t start, uint32_t now);

void SleepMs(int32_t ms);

// A short window of looking again for bytes before sleeping on a socket:
// an answer a few microseconds away is then taken without the sleep and the
// wake-up, which cost more (above all in virtual machines). Each look first
// gives the processor to any other thread that wants it, so that looking
// again never holds up work that is waiting.
class TIdLookAgain {
public:
    explicit TIdLookAgain(std::chrono::microseconds window);
    // The window starts anew (after bytes moved).
    void Restart();
    // Yields once; true while the window lasts.
    bool Next();

private:
    std::chrono::microseconds window_;
    std::chrono::steady_clock::time_point until_;
};

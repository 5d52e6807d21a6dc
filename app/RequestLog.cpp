// RequestLog: the traffic counter and the request log rows of the shell.
// TotalBytes is atomic so no addition from concurrent workers is lost;
// LogReady is taken with one exchange, so at most one entry is being
// written at any moment and the others are dropped without waiting.
#include "app/RequestLog.h"

#include <array>

#include "base/IdGlobal.h"

std::atomic<uint64_t> TotalBytes{0};
std::atomic<bool> LogReady{false};

namespace {

// Gives LogReady back however the entry ends.
class TLogReadyRelease {
public:
    TLogReadyRelease() = default;
    ~TLogReadyRelease() { LogReady.store(true); }
    TLogReadyRelease(const TLogReadyRelease&) = delete;
    TLogReadyRelease& operator=(const TLogReadyRelease&) = delete;
};

}  // namespace

std::string FormatByteCount(uint64_t count) {
    constexpr uint64_t KiB = 1024U;
    constexpr uint64_t MiB = 1024U * 1024U;
    constexpr uint64_t GiB = 1024U * 1024U * 1024U;
    if (count < KiB) {
        return std::to_string(count) + " Bytes";
    }
    if (count < MiB) {
        return std::to_string(count / KiB) + " KB";
    }
    if (count < GiB) {
        return std::to_string(count / MiB) + " MB";
    }
    return {};
}

std::string ClipLogField(std::string_view text) {
    if (text.size() >= LogFieldLimit) {
        return std::string(text.substr(0, LogFieldLimit - 3)) + "...";
    }
    return std::string(text);
}

std::string SanitizeConsoleText(std::string_view text, bool windowsConsole) {
    std::string clean(text);
    for (char& c : clean) {
        const auto code = static_cast<unsigned char>(c);
        const bool c1Control = code >= 128 && code <= 159;
        if (code < 32 || code == 127 || (c1Control && !windowsConsole)) {
            c = '?';
        }
    }
    return clean;
}

void WriteRequestLog(std::string_view request, std::string_view from, std::string_view size) {
    if (!LogReady.exchange(false)) {
        return;
    }
    const TLogReadyRelease release;
    const TConsoleMode mode = ConsoleMode();
    const bool windowsConsole = mode == cmWindowsConsole;
    struct TLogRow {
        const char* label;
        std::string value;
    };
    const std::array<TLogRow, 3> rows{{
        {"Request: ", SanitizeConsoleText(request, windowsConsole)},
        {"From: ", SanitizeConsoleText(from, windowsConsole)},
        {"Size: ", SanitizeConsoleText(size, windowsConsole)},
    }};

    if (mode == cmRedirected) {
        // One write per entry, so lines of different entries never mix
        // even in a file shared with other writers.
        std::string entry;
        for (const TLogRow& row : rows) {
            entry += row.label;
            entry += ClipLogField(row.value);
            entry += '\n';
        }
        WriteText(entry);
        return;
    }

    int16_t rowNumber = 1;
    for (const TLogRow& row : rows) {
        MoveToLogRow(rowNumber++);
        SetColor(ColorLabel);
        WriteText(row.label);
        SetColor(ColorNormal);
        WriteText(ClipLogField(row.value));
        if (row.value.size() < LogFieldLimit) {
            WriteRepeated(' ', static_cast<int32_t>(LogFieldWidth - row.value.size()));
        }
    }
}

void WriteNotice(std::string_view text) {
    // Unlike a request entry a notice is never dropped: it waits for the
    // entry being written, which takes microseconds.
    while (!LogReady.exchange(false)) {
        SleepMs(1);
    }
    const TLogReadyRelease release;
    const TConsoleMode mode = ConsoleMode();
    std::string clean = SanitizeConsoleText(text, mode == cmWindowsConsole);
    if (mode == cmRedirected) {
        WriteText(clean + '\n');
        return;
    }
    if (clean.size() > NoticeWidth) {
        clean = clean.substr(0, NoticeWidth - 3) + "...";
    }
    MoveToLogRow(0);
    SetColor(ColorNormal);
    WriteText(clean);
    WriteRepeated(' ', static_cast<int32_t>(NoticeWidth - clean.size()));
}

void CountAndLogDocument(const std::string& document, const std::string& host, uint64_t size) {
    TotalBytes.fetch_add(size);
    const bool windowsConsole = ConsoleMode() == cmWindowsConsole;
    // Read under the console lock: the title written last shows the latest total.
    SetTitleFrom([windowsConsole] {
        return SanitizeConsoleText("Vantrel - [" + FormatByteCount(TotalBytes.load()) + "]",
                                   windowsConsole);
    });
    if (!LogReady.load()) {
        return;
    }
    WriteRequestLog(document, host, FormatByteCount(size));
}

// AccessLog: the line format and the appending writer. Lines are formatted
// outside the lock; a line leaves in one write call under the lock, so
// lines of concurrent requests never interleave (not even with another
// process appending to the same file), and a rotation falls between lines.
#include "app/AccessLog.h"

#include <chrono>
#include <cstdio>
#include <string_view>

namespace {

void AppendEscaped(std::string& line, std::string_view text) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    if (text.empty()) {
        line += '-';
        return;
    }
    if (text == "-") {
        line += "\\x2D";
        return;
    }
    for (const char c : text) {
        const auto code = static_cast<unsigned char>(c);
        if (code <= 0x20 || code >= 0x7F || c == '\\') {
            line += "\\x";
            line += Hex[code >> 4];
            line += Hex[code & 0xF];
        } else {
            line += c;
        }
    }
}

void AppendTime(std::string& line, std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(when);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss time{ms - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    line += text;
}

}  // namespace

std::string FormatAccessLogLine(const TIdRequestRecord& record) {
    std::string line;
    line.reserve(96 + record.user.size() + record.target.size());
    AppendTime(line, record.started);
    line += ' ';
    AppendEscaped(line, record.client);
    line += ' ';
    AppendEscaped(line, record.user);
    line += ' ';
    AppendEscaped(line, record.method);
    line += ' ';
    AppendEscaped(line, record.target);
    line += ' ';
    line += record.status < 0 ? std::string("-") : std::to_string(record.status);
    line += ' ';
    line += std::to_string(record.bytesToClient);
    line += ' ';
    line += std::to_string(record.bytesFromClient);
    line += ' ';
    // Clock adjustments must not make a request look as if it ended first.
    line += std::to_string(record.durationMs < 0 ? 0 : record.durationMs);
    return line;
}

void TAccessLog::Open(const std::string& path) {
    // The new file first: a path that cannot be opened leaves the log as
    // it was, so a reload that names a bad path loses no line.
    std::string error;
    std::unique_ptr<TLogFile> fresh = OpenLogFile(path, error);
    if (fresh == nullptr) {
        throw EAccessLogError("Cannot open the access log \"" + path + "\": " + error);
    }
    std::scoped_lock guard(lock_);
    file_ = std::move(fresh);
    path_ = path;
    nextCheck_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(CheckIntervalMs);
}

void TAccessLog::Close() {
    std::scoped_lock guard(lock_);
    file_.reset();
    path_.clear();
}

std::string TAccessLog::Path() {
    std::scoped_lock guard(lock_);
    return path_;
}

void TAccessLog::WriteNote(std::string_view text, std::chrono::system_clock::time_point when) {
    std::string line = "# ";
    AppendTime(line, when);
    line += ' ';
    // A note is one line whatever its text holds.
    for (const char c : text) {
        const auto code = static_cast<unsigned char>(c);
        line += code < 0x20 || code == 0x7F ? '?' : c;
    }
    line += '\n';
    std::scoped_lock guard(lock_);
    if (file_ != nullptr) {
        (void)file_->Append(line);
    }
}

bool TAccessLog::IsOpen() {
    std::scoped_lock guard(lock_);
    return file_ != nullptr;
}

void TAccessLog::Reopen() {
    std::scoped_lock guard(lock_);
    ReopenLocked();
}

void TAccessLog::ReopenLocked() {
    if (file_ == nullptr) {
        return;
    }
    std::string error;
    // A path that cannot be opened now (its directory gone, say) leaves
    // the lines going where they went: kept somewhere beats lost.
    if (std::unique_ptr<TLogFile> fresh = OpenLogFile(path_, error)) {
        file_ = std::move(fresh);
    }
}

void TAccessLog::Write(const TIdRequestRecord& record) {
    const std::string line = FormatAccessLogLine(record) + '\n';
    std::scoped_lock guard(lock_);
    if (file_ == nullptr) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= nextCheck_) {
        nextCheck_ = now + std::chrono::milliseconds(CheckIntervalMs);
        if (!file_->IsNamedBy(path_)) {
            ReopenLocked();
        }
    }
    // A line the system refuses is dropped; the next one is tried afresh.
    (void)file_->Append(line);
}

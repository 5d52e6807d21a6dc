// AccessLog: the access log file, one line per finished request. Each line
// reaches the file whole and at once, so the file can be followed (tail -f)
// and is complete up to the last request even when the process is killed.
// A log renamed or removed while open (logrotate) is followed by a new
// file under its path, without a line lost or split.
//
// A line: time client user method target status bytes-to-client
// bytes-from-client duration-ms, separated by single blanks, e.g.
//   2026-12-08T10:15:30.123Z 127.0.0.1 alice GET http://example.com/ 200 1234 0 15
// The time is when the request began, in UTC with milliseconds; user is
// the name of the credentials given ("-" without), so a 407 line with a
// user is a failed login; status is "-" when no answer was sent. In
// client, user, method and target every blank,
// control byte, byte of 127 or above and backslash is written as \xHH; an
// empty text is "-" and a text that is "-" is \x2D. So fields never run
// together, a line splits on blanks, and each text can be read back exactly.
// Lines that begin with "#" are the proxy's own notes (settings applied or
// refused on a reload), not requests: "# <time> <text>".
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "app/Platform.h"
#include "base/IdException.h"
#include "proxy/IdRequestRecord.h"

VTL_DECLARE_EXCEPTION(EAccessLogError, EIdException);

// The record's line, without the line end.
std::string FormatAccessLogLine(const TIdRequestRecord& record);

class TAccessLog {
public:
    TAccessLog() = default;
    TAccessLog(const TAccessLog&) = delete;
    TAccessLog& operator=(const TAccessLog&) = delete;

    // Opens the file for appending, creating it when missing, in place of
    // the log already open. EAccessLogError naming the path and the
    // system's reason when that fails; the open log then stays.
    void Open(const std::string& path);
    void Close();
    bool IsOpen();
    // The path of the open log; "" when none is open.
    std::string Path();
    // Appends the record's line and hands it to the system; safe from any
    // number of threads at once. Without an open file it does nothing, and
    // a line the system refuses (a full disk) is dropped: the log must not
    // end the requests it records. At most once every CheckIntervalMs it
    // first looks whether the path still names the open file, and opens
    // the path afresh when it does not (the log was rotated away).
    void Write(const TIdRequestRecord& record);
    // Opens the path afresh, keeping the open file when that fails.
    void Reopen();
    // Appends a note line (see above); nothing without an open file.
    void WriteNote(std::string_view text,
                   std::chrono::system_clock::time_point when = std::chrono::system_clock::now());

    static constexpr int32_t CheckIntervalMs = 1000;

private:
    void ReopenLocked();

    std::mutex lock_;
    std::string path_;                              // guarded by lock_
    std::unique_ptr<TLogFile> file_;                // guarded by lock_
    std::chrono::steady_clock::time_point nextCheck_;  // guarded by lock_
};

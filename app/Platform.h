// Platform: the few operating-system services of the shell besides the
// console: the executable's own directory, the stop request (Ctrl+C,
// SIGTERM, closing the console window) turned into a call on a normal thread,
// and the process's own figures for the status listener.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// The directory holding the running executable, without a trailing
// separator; "." when the platform will not tell.
std::string ExecutableDirectory();
// The separator between directory and file name: "\" on Windows, "/" elsewhere.
char PathDelimiter();

// Keeps a peer that closes its socket during a send from ending the process
// with SIGPIPE; the send then fails with an error instead. No-op on Windows.
void IgnoreBrokenPipe();

// Makes freed large blocks (the 256 KiB blocks of relayed bodies) go back to
// the system at once, so that a burst of big bodies does not stay resident
// after it is over. No-op where the allocator does that by itself.
void ReturnLargeBlocksToSystem();

// Gives large bodies (the 2 MiB blocks of a big body with a known length)
// memory mapped for them, on huge pages where the system offers them: a
// page fault per 2 MiB instead of one per 4 KiB. No-op where the platform
// has no such mappings for an ordinary process.
void UseMappedMemoryForLargeBodies();

// Lets the process hold as many open sockets as the system allows it (the
// hard limit, at most 1048576), rather than the often small default: every
// tunnel holds two sockets and, while bytes flow, a pipe. No-op where there
// is no such limit.
void RaiseOpenFileLimit();

// What the system tells about this process; -1 for a figure it will not tell.
struct TProcessFigures {
    int64_t startTimeMs = -1;      // when the process started, in ms since 1970-01-01 UTC
    int64_t openDescriptors = -1;  // open files, sockets and pipes (on Windows: handles)
    int64_t residentBytes = -1;    // memory held in RAM (on Windows: the working set)
};

// Reads the figures now; a few system calls, nothing kept between calls.
TProcessFigures ReadProcessFigures();

// While an object of this class lives, a stop request from outside calls
// onStop once, on a thread of its own (never inside a signal handler), so
// the call may take locks and stop servers. Any further request restores
// the console and ends the process at once (for a stop that hangs).
// Destroy it before anything that onStop touches, and never from onStop.
class TStopHandler {
public:
    virtual ~TStopHandler() = default;
};

// onReload, when given, is called on that thread for SIGHUP (POSIX only)
// instead of onStop, unless the SIGHUP comes from the closing of the
// terminal the program runs in.
[[nodiscard]] std::unique_ptr<TStopHandler> InstallStopHandler(std::function<void()> onStop,
                                                              std::function<void()> onReload = {});

// Delivers a stop request to this process the way the platform does
// (SIGTERM on POSIX, a Ctrl+C event to the console handler on Windows).
void RaiseStopSignal();

// The access log's file, open for appending in a way that lets it be
// renamed or removed while open (logrotate; on Windows by its share
// modes), every append one write call of the system, so that lines of
// concurrent writers and processes never mix.
class TLogFile {
public:
    virtual ~TLogFile() = default;
    // False when the system did not take all of bytes (a full disk).
    virtual bool Append(std::string_view bytes) = 0;
    // Whether path still names this open file: false once it was renamed
    // or removed, or another file took its name.
    virtual bool IsNamedBy(const std::string& path) = 0;
};

// Opens path for appending, creating it when missing; nullptr with the
// system's reason in error when that fails.
std::unique_ptr<TLogFile> OpenLogFile(const std::string& path, std::string& error);

// The program runner of the end-to-end tests and the soak: child processes
// with bounded waits, helper programs (curl, python3 ...) run to their end,
// and TProgram, a private copy of vantrel beside its own vtl.ini whose
// output, signals and /proc figures the test reads. Linux only.
#pragma once

#ifndef _WIN32

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/Wait.h"

namespace vtltest {

// Generous enough for a sanitizer build on a loaded two-core machine.
constexpr Ms StartLimit{15000};
constexpr Ms ToolLimit{20000};
constexpr Ms StopLimit{5000};

// The full path of a program found in PATH (or the name itself when it
// holds a slash and is executable); empty when there is none.
std::string FindProgram(const std::string& name);

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& bytes);

// A fresh directory under /tmp, removed with everything in it at the end.
class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A started child process. Descriptors given as -1 become /dev/null; the
// child gets no other descriptor of the test process, so that its /proc
// counts are its own. The destructor kills a child that is still running
// and reaps it.
class TChildProcess {
public:
    TChildProcess(const std::vector<std::string>& argv, int stdinFd, int stdoutFd, int stderrFd,
                  const std::vector<std::string>& extraEnvironment = {});
    ~TChildProcess();
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    pid_t Pid() const { return pid_; }
    bool Started() const { return pid_ > 0; }
    // Reaps the child when it has ended; never blocks.
    bool HasExited();
    bool WaitExit(Ms limit);
    // The waitpid status; meaningful once HasExited() is true.
    int RawStatus() const { return status_; }
    // The exit code, or -1 when the child did not exit normally.
    int ExitCode() const;
    void Signal(int signalNumber);
    // User plus system CPU time of all the child's threads, in clock ticks.
    long CpuTicks() const;

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
};

struct TToolResult {
    bool finished = false;  // false: killed at the time limit
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs a helper program with standard input from /dev/null and collects
// what it prints.
TToolResult RunTool(const std::vector<std::string>& argv, Ms limit = ToolLimit);
// The same with "NAME=value" entries that replace or add to the test's
// environment (an empty value hides a variable from most programs).
TToolResult RunTool(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
                    Ms limit = ToolLimit);

// The vtl.ini settings that TProgram::StartServing writes, besides the port.
struct TProxySettings {
    int requestTimeout = 5;
    int idleTimeout = 3;
    int sleepTime = 100;
    std::string user;
    std::string password;
    std::string moreGeneral;     // further [General] lines, each ended by "\n"
    std::string moreIni;         // further sections, after [General]
    std::string moreConnection;  // further [Connection] lines, each ended by "\n"
};

// The vantrel executable the tests were built with.
std::string ProgramUnderTest();

// A private copy of the program under test beside its own vtl.ini (the
// program reads the one beside itself).
class TProgram {
public:
    // ini: the text of vtl.ini, or nullopt for none at all.
    explicit TProgram(const std::optional<std::string>& ini = std::nullopt,
                      const std::string& binary = ProgramUnderTest());
    ~TProgram();
    TProgram(const TProgram&) = delete;
    TProgram& operator=(const TProgram&) = delete;

    void WriteIni(const std::string& ini);
    // Standard output and error go to files in the program's directory.
    void Start(const std::vector<std::string>& arguments = {});
    // Standard output and error go to the given terminal (the slave side of
    // a pseudo-terminal), with TERM=xterm.
    void StartOnTerminal(int terminalFd);
    // Writes vtl.ini for a free port and settings, starts the program and
    // waits until it reports that it serves; a port taken meanwhile is
    // tried again with another. False with error set otherwise.
    bool StartServing(const TProxySettings& settings, std::string& error);
    // Writes vtl.ini for the chosen port and settings (a running program
    // may read it again).
    void RewriteIni(const TProxySettings& settings);

    TChildProcess& Process() { return *process_; }
    bool Running() { return process_ && !process_->HasExited(); }
    pid_t Pid() const { return process_ ? process_->Pid() : -1; }
    // The port StartServing chose.
    int Port() const { return port_; }
    // Polls connects to the port until one succeeds; false when the limit
    // passes or the program ends first.
    bool WaitListening(int port, Ms limit = StartLimit, const std::string& address = "127.0.0.1");
    // The directory of the program's copy.
    const std::string& Directory() const { return dir_.Path(); }
    std::string Stdout() const;
    std::string Stderr() const;
    bool WaitForStdout(const std::string& text, Ms limit = StartLimit);
    // Sends the signal and waits for the exit; the exit code, or -1 when the
    // program did not exit normally in time.
    int StopWith(int signalNumber, Ms limit = StopLimit);

    // Threads at work: parked platform threads waiting for a body are not.
    int ThreadCount() const;
    int FdCount() const;
    long RssKb() const;
    long PeakRssKb() const;
    // User plus system time the program has used so far.
    double CpuSeconds() const;

private:
    std::string ProcFile(const std::string& name) const;

    TTempDir dir_;
    std::unique_ptr<TChildProcess> process_;
    int port_ = 0;
};

}  // namespace vtltest

#endif  // _WIN32

// ProgramHarness: what the end-to-end tests need to drive the real vantrel
// executable: child processes with bounded waits, a private copy of the
// program beside its own vtl.ini, an in-process origin server on loopback,
// raw proxy clients, and the exact text the program prints at start-up.
// Linux only; every wait in here has a deadline.
#pragma once

#ifndef _WIN32

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

using Ms = std::chrono::milliseconds;

// Generous enough for a sanitizer build on a loaded two-core machine.
constexpr Ms StartLimit{15000};
constexpr Ms ToolLimit{20000};
constexpr Ms StopLimit{5000};

// Polls the condition every 10 ms until it holds or the limit passes; the
// result is the condition's last value.
bool WaitUntil(const std::function<bool()>& condition, Ms limit);

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

// A started child process. Descriptors given as -1 become /dev/null. The
// destructor kills a child that is still running and reaps it.
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

// Runs a helper program (curl, python3, openssl ...) with standard input
// from /dev/null and collects what it prints.
TToolResult RunTool(const std::vector<std::string>& argv, Ms limit = ToolLimit);

// A port that was free a moment ago on every IPv4 address.
int FreePort();
// address: a numeric IPv4 or IPv6 address.
bool CanConnect(int port, const std::string& address = "127.0.0.1");
// Whether a socket can be bound to ::1 (containers may lack IPv6).
bool HasIPv6Loopback();

// Holds a TCP port by listening on it on all IPv4 addresses.
class THeldPort {
public:
    explicit THeldPort(int port);
    ~THeldPort();
    THeldPort(const THeldPort&) = delete;
    THeldPort& operator=(const THeldPort&) = delete;
    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Connects to 127.0.0.1:port, sends the bytes, and collects the answer
// until the peer closes or the limit passes.
std::string ExchangeWithProxy(int port, const std::string& request, Ms limit = Ms{10000});

// A connected loopback socket for tests that speak step by step.
class TClientSocket {
public:
    explicit TClientSocket(int port, const std::string& address = "127.0.0.1");
    ~TClientSocket();
    TClientSocket(const TClientSocket&) = delete;
    TClientSocket& operator=(const TClientSocket&) = delete;
    bool Connected() const { return fd_ >= 0; }
    bool Send(const std::string& bytes);
    // Reads until the collected bytes contain the text (true), or the peer
    // closes or the limit passes (false).
    bool ReadUntil(const std::string& text, Ms limit);
    // Reads until the peer closes (true) or the limit passes (false).
    bool ReadUntilClosed(Ms limit);
    const std::string& Received() const { return received_; }

private:
    bool ReadSome(Ms limit);

    int fd_ = -1;
    std::string received_;
};

struct TOriginRequest {
    std::string requestLine;
    std::vector<std::string> headers;
    std::string body;
};

// A small HTTP origin on 127.0.0.1 that serves every connection on a thread
// of its own and records what it was sent. The default answer:
//   path /size/N: N bytes of letters; POST: "posted:" + the body;
//   anything else: OriginGreeting. HEAD gets the headers alone. A target
//   that holds "nolength" gets no Content-Length (the body ends with the
//   connection).
class TOriginServer {
public:
    static constexpr const char* OriginGreeting = "Hello from the origin\n";

    TOriginServer();
    ~TOriginServer();
    TOriginServer(const TOriginServer&) = delete;
    TOriginServer& operator=(const TOriginServer&) = delete;

    int Port() const { return port_; }
    std::vector<TOriginRequest> Requests() const;
    // Holds every answer back until this many requests have arrived (or a
    // few seconds have passed), so that they all go out at one moment.
    void HoldAnswersUntil(size_t requestCount);
    // The body the default answer gives for a path.
    static std::string BodyFor(const std::string& path);

private:
    void AcceptLoop();
    void Serve(int fd);

    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex lock_;
    std::condition_variable arrived_;
    std::vector<TOriginRequest> requests_;  // guarded by lock_
    size_t holdUntil_ = 0;                  // guarded by lock_
    std::vector<std::thread> workers_;      // touched by the accept thread, then joined
    std::thread acceptThread_;
};

// A private copy of the program under test beside its own vtl.ini.
class TProgram {
public:
    // ini: the text of vtl.ini, or nullopt for none at all.
    explicit TProgram(const std::optional<std::string>& ini);
    ~TProgram();
    TProgram(const TProgram&) = delete;
    TProgram& operator=(const TProgram&) = delete;

    // Standard output and error go to files in the program's directory.
    void Start(const std::vector<std::string>& arguments = {});
    // Standard output and error go to the given terminal (the slave side of
    // a pseudo-terminal), with TERM=xterm.
    void StartOnTerminal(int terminalFd);

    TChildProcess& Process() { return *process_; }
    bool Running() { return process_ && !process_->HasExited(); }
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

private:
    TTempDir dir_;
    std::unique_ptr<TChildProcess> process_;
};

// The seven banner lines as the program writes them to a non-terminal on
// Linux (box pieces in UTF-8).
std::string BannerText();
// Everything up to and including "Starting proxy server..." and its line
// end, for the given status line (with its leading blank).
std::string StartupText(const std::string& statusLine);
// What follows once the server listens, when output is redirected.
std::string ActiveText();

// The console form of text from the network: bytes below 32, 127 and
// 128-159 shown as "?".
std::string Cleaned(const std::string& text);

// Three log rows in their redirected form.
std::string LogEntry(const std::string& request, const std::string& from, const std::string& size);

// Reads everything a pseudo-terminal master delivers until the collected
// bytes contain the text or the limit passes.
bool ReadTerminalUntil(int masterFd, std::string& collected, const std::string& text, Ms limit);

}  // namespace e2e

#endif  // _WIN32

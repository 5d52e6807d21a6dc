// The program runner: fork and exec with everything prepared before the
// fork, bounded waits for children and helper programs, and the private
// program copy with its /proc figures.
#ifndef _WIN32

#include "tests/support/Program.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/server/WorkingThreads.h"
#include "tests/support/LoopbackSocket.h"
#include "tests/support/ProcStatus.h"

extern char** environ;

namespace vtltest {

namespace {

namespace fs = std::filesystem;

Ms Remaining(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now());
    return left.count() > 0 ? left : Ms{0};
}

}  // namespace

std::string ProgramUnderTest() {
    return VTL_BINARY_PATH;
}

std::string FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return access(name.c_str(), X_OK) == 0 ? name : std::string{};
    }
    const char* path = std::getenv("PATH");
    std::istringstream directories(path != nullptr ? path : "/usr/bin:/bin");
    std::string directory;
    while (std::getline(directories, directory, ':')) {
        const std::string candidate = (directory.empty() ? "." : directory) + "/" + name;
        struct stat info{};
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << bytes;
}

// ------------------------------------------------------------- TTempDir

TTempDir::TTempDir() {
    std::string pattern = "/tmp/vtl-e2e.XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
    }
}

TTempDir::~TTempDir() {
    if (!path_.empty()) {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
}

// -------------------------------------------------------- TChildProcess

TChildProcess::TChildProcess(const std::vector<std::string>& argv, int stdinFd, int stdoutFd, int stderrFd,
                             const std::vector<std::string>& extraEnvironment) {
    if (argv.empty()) {
        return;
    }
    const std::string program = FindProgram(argv[0]);
    if (program.empty()) {
        return;
    }
    // Everything the child needs is built before fork: between fork and
    // exec only async-signal-safe calls are allowed (other threads of this
    // process may hold the allocator's locks).
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const std::string key = text.substr(0, text.find('=') + 1);
        bool replaced = false;
        for (const std::string& extra : extraEnvironment) {
            replaced = replaced || extra.compare(0, key.size(), key) == 0;
        }
        if (!replaced) {
            environment.push_back(text);
        }
    }
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& entry : environment) {
        envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(stdinFd >= 0 ? stdinFd : null, STDIN_FILENO);
        dup2(stdoutFd >= 0 ? stdoutFd : null, STDOUT_FILENO);
        dup2(stderrFd >= 0 ? stderrFd : null, STDERR_FILENO);
        // Descriptors of the test process (its sockets, its pipes) must
        // neither stay open through the child nor count as the child's.
#ifdef SYS_close_range
        if (syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
#endif
        {
            for (int fd = 3; fd < 65536; ++fd) {
                close(fd);
            }
        }
        // A runner may have left these ignored, and ignored signals stay
        // ignored across exec: start the child as a shell would.
        struct sigaction byDefault{};
        byDefault.sa_handler = SIG_DFL;
        for (const int signalNumber : {SIGPIPE, SIGINT, SIGTERM}) {
            sigaction(signalNumber, &byDefault, nullptr);
        }
        execve(program.c_str(), args.data(), envp.data());
        _exit(127);
    }
    pid_ = pid;
}

TChildProcess::~TChildProcess() {
    if (pid_ > 0 && !HasExited()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
}

bool TChildProcess::HasExited() {
    if (pid_ <= 0 || reaped_) {
        return true;
    }
    const pid_t done = waitpid(pid_, &status_, WNOHANG);
    if (done == pid_) {
        reaped_ = true;
    }
    return reaped_;
}

bool TChildProcess::WaitExit(Ms limit) {
    return WaitUntil([this] { return HasExited(); }, limit);
}

int TChildProcess::ExitCode() const {
    if (!reaped_ || !WIFEXITED(status_)) {
        return -1;
    }
    return WEXITSTATUS(status_);
}

void TChildProcess::Signal(int signalNumber) {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, signalNumber);
    }
}

long TChildProcess::CpuTicks() const {
    const std::string stat = ReadWholeFile("/proc/" + std::to_string(pid_) + "/stat");
    // The command name in parentheses may hold blanks: count from its end.
    const size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos) {
        return -1;
    }
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string field;
    long utime = -1;
    long stime = -1;
    // Fields 3 (state) to 15 (stime) of proc(5).
    for (int number = 3; number <= 15 && (fields >> field); ++number) {
        if (number == 14) {
            utime = std::stol(field);
        } else if (number == 15) {
            stime = std::stol(field);
        }
    }
    return utime < 0 || stime < 0 ? -1 : utime + stime;
}

TToolResult RunTool(const std::vector<std::string>& argv, Ms limit) {
    return RunTool(argv, {}, limit);
}

TToolResult RunTool(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment, Ms limit) {
    TToolResult result;
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        return result;
    }
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return result;
    }
    TChildProcess child(argv, -1, outPipe[1], errPipe[1], extraEnvironment);
    close(outPipe[1]);
    close(errPipe[1]);
    const auto deadline = Clock::now() + limit;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int openPipes = child.Started() ? 2 : 0;
    while (openPipes > 0 && Remaining(deadline).count() > 0) {
        const int ready = poll(fds, 2, static_cast<int>(Remaining(deadline).count()));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            char buffer[16384];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --openPipes;
            }
        }
    }
    close(outPipe[0]);
    close(errPipe[0]);
    if (child.Started() && child.WaitExit(Remaining(deadline))) {
        result.finished = true;
        result.exitCode = child.ExitCode();
    }
    return result;
}

// ------------------------------------------------------------- TProgram

TProgram::TProgram(const std::optional<std::string>& ini, const std::string& binary) {
    // A hard link is enough (and quick); a copy where links cannot be made.
    const std::string executable = dir_.File("vantrel");
    std::error_code error;
    fs::create_hard_link(binary, executable, error);
    if (error) {
        fs::copy_file(binary, executable, fs::copy_options::overwrite_existing, error);
        chmod(executable.c_str(), 0755);
    }
    if (ini) {
        WriteIni(*ini);
    }
}

void TProgram::WriteIni(const std::string& ini) {
    WriteWholeFile(dir_.File("vtl.ini"), ini);
}

TProgram::~TProgram() = default;

void TProgram::Start(const std::vector<std::string>& arguments) {
    const int out = open(dir_.File("stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = open(dir_.File("stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::vector<std::string> argv{dir_.File("vantrel")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    process_ = std::make_unique<TChildProcess>(argv, -1, out, err);
    close(out);
    close(err);
}

void TProgram::StartOnTerminal(int terminalFd) {
    process_ = std::make_unique<TChildProcess>(std::vector<std::string>{dir_.File("vantrel")}, -1, terminalFd,
                                               terminalFd, std::vector<std::string>{"TERM=xterm"});
}

void TProgram::RewriteIni(const TProxySettings& settings) {
    WriteIni("[Connection]\nPort=" + std::to_string(port_) + "\n" + settings.moreConnection +
             "[Authorization]\nUser=" + settings.user + "\nPassword=" + settings.password +
             "\n[General]\nSleepTime=" + std::to_string(settings.sleepTime) +
             "\nRequestTimeout=" + std::to_string(settings.requestTimeout) +
             "\nIdleTimeout=" + std::to_string(settings.idleTimeout) + "\n" + settings.moreGeneral +
             settings.moreIni);
}

bool TProgram::StartServing(const TProxySettings& settings, std::string& error) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = FreePort();
        RewriteIni(settings);
        Start();
        if (!process_->Started()) {
            error = "vantrel could not be started";
            return false;
        }
        bool exited = false;
        WaitUntil(
            [&] {
                exited = !Running();
                return exited || Stdout().find("Proxy server is active...") != std::string::npos;
            },
            Ms(20000), Ms(20));
        if (!exited && Stdout().find("Proxy server is active...") != std::string::npos) {
            return true;
        }
        error = exited ? "vantrel exited at start: " + Stderr() : std::string("vantrel did not report that it serves");
        if (!exited) {
            return false;
        }
    }
    return false;
}

bool TProgram::WaitListening(int port, Ms limit, const std::string& address) {
    bool connected = false;
    WaitUntil([&] { return !Running() || (connected = CanConnect(port, address)); }, limit, Ms{20});
    return connected;
}

std::string TProgram::Stdout() const {
    return ReadWholeFile(dir_.File("stdout.txt"));
}

std::string TProgram::Stderr() const {
    return ReadWholeFile(dir_.File("stderr.txt"));
}

bool TProgram::WaitForStdout(const std::string& text, Ms limit) {
    return WaitUntil([&] { return Stdout().find(text) != std::string::npos; }, limit);
}

int TProgram::StopWith(int signalNumber, Ms limit) {
    if (!process_) {
        return -1;
    }
    process_->Signal(signalNumber);
    if (!process_->WaitExit(limit)) {
        return -1;
    }
    return process_->ExitCode();
}

std::string TProgram::ProcFile(const std::string& name) const {
    return "/proc/" + std::to_string(Pid()) + "/" + name;
}

int TProgram::ThreadCount() const {
    return ServerTestSupport::CountWorkingThreads(ProcFile("task")).value_or(-1);
}

int TProgram::FdCount() const {
    return ServerTestSupport::CountProcFolder(ProcFile("fd")).value_or(-1);
}

long TProgram::RssKb() const {
    return static_cast<long>(ProcStatusValue("VmRSS", ProcFile("status")));
}

long TProgram::PeakRssKb() const {
    return static_cast<long>(ProcStatusValue("VmHWM", ProcFile("status")));
}

double TProgram::CpuSeconds() const {
    const long ticks = process_ ? process_->CpuTicks() : -1;
    return ticks < 0 ? -1 : static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace vtltest

#endif  // _WIN32

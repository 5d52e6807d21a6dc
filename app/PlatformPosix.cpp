// PlatformPosix: the executable's directory from /proc/self/exe, stop
// signals (SIGINT, SIGTERM, SIGHUP) passed from the signal handler through a
// self-pipe to a watcher thread, which runs the stop callback, and the
// allocator setting that returns freed large blocks to the system, the
// mapped (huge page) memory for large bodies, the open-file limit and the
// process figures from /proc.
#include "app/Platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "app/Console.h"
#include "io/IdStream.h"

namespace {

constexpr int StopSignals[] = {SIGINT, SIGTERM, SIGHUP};
// Never a signal number, so it can tell the watcher to end.
constexpr unsigned char WakeToQuit = 0;

// The pipe end the signal handler writes to; -1 while no handler is installed.
std::atomic<int> stopPipeWrite{-1};
// Signal handlers between their first and last touch of stopPipeWrite, so
// that the pipe is not closed under one of them.
std::atomic<int> handlersRunning{0};
static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need lock-free atomics");

void OnStopSignal(int signalNumber) {
    const int savedErrno = errno;
    handlersRunning.fetch_add(1);
    const int fd = stopPipeWrite.load();
    if (fd >= 0) {
        const auto byte = static_cast<unsigned char>(signalNumber);
        // A full pipe already holds a pending request; dropping this one is fine.
        [[maybe_unused]] const ssize_t written = write(fd, &byte, 1);
    }
    handlersRunning.fetch_sub(1);
    errno = savedErrno;
}

void SetCloseOnExec(int fd) {
    fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

class TPosixStopHandler final : public TStopHandler {
public:
    TPosixStopHandler(std::function<void()> onStop, std::function<void()> onReload)
        : onStop_(std::move(onStop)), onReload_(std::move(onReload)) {
        int fds[2];
        if (pipe(fds) != 0) {
            // Without the pipe the signals keep their default action.
            return;
        }
        readFd_ = fds[0];
        writeFd_ = fds[1];
        SetCloseOnExec(readFd_);
        SetCloseOnExec(writeFd_);
        // The handler must never block in write.
        fcntl(writeFd_, F_SETFL, fcntl(writeFd_, F_GETFL) | O_NONBLOCK);
        stopPipeWrite.store(writeFd_);
        watcher_ = std::thread([this] { Watch(); });

        struct sigaction action{};
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (const int signalNumber : StopSignals) {
            struct sigaction previous{};
            if (sigaction(signalNumber, &action, &previous) == 0) {
                previous_.emplace_back(signalNumber, previous);
            }
        }
    }

    ~TPosixStopHandler() override {
        if (readFd_ < 0) {
            return;
        }
        for (const auto& [signalNumber, previous] : previous_) {
            sigaction(signalNumber, &previous, nullptr);
        }
        stopPipeWrite.store(-1);
        while (handlersRunning.load() != 0) {
            std::this_thread::yield();
        }
        const unsigned char quit = WakeToQuit;
        while (write(writeFd_, &quit, 1) < 0 && errno == EINTR) {
        }
        watcher_.join();
        close(writeFd_);
        close(readFd_);
    }

    TPosixStopHandler(const TPosixStopHandler&) = delete;
    TPosixStopHandler& operator=(const TPosixStopHandler&) = delete;

private:
    void Watch() {
        bool stopping = false;
        for (;;) {
            unsigned char byte = 0;
            const ssize_t got = read(readFd_, &byte, 1);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0 || byte == WakeToQuit) {
                return;
            }
            if (byte == SIGHUP && onReload_ && !stopping && !TerminalHungUp()) {
                onReload_();
                continue;
            }
            if (!stopping) {
                stopping = true;
                if (onStop_) {
                    onStop_();
                }
            } else {
                RestoreConsole();
                std::_Exit(128 + byte);
            }
        }
    }

    // A terminal that was closed has its descriptors hung up before the
    // kernel sends SIGHUP: their terminal calls then fail with EIO. That
    // SIGHUP means "stop", as it always has; any other asks for a reload.
    static bool TerminalHungUp() {
        for (const int fd : {STDIN_FILENO, STDOUT_FILENO}) {
            struct termios modes{};
            if (tcgetattr(fd, &modes) != 0 && errno == EIO) {
                return true;
            }
        }
        return false;
    }

    std::function<void()> onStop_;
    std::function<void()> onReload_;
    int readFd_ = -1;
    int writeFd_ = -1;
    std::thread watcher_;
    std::vector<std::pair<int, struct sigaction>> previous_;
};

}  // namespace

std::string ExecutableDirectory() {
    std::vector<char> path(1024);
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
        if (length < 0) {
            return ".";
        }
        if (static_cast<size_t>(length) < path.size()) {
            const std::string full(path.data(), static_cast<size_t>(length));
            const size_t slash = full.rfind('/');
            if (slash == std::string::npos) {
                return ".";
            }
            // The root directory gives "", so that "/" + name still follows.
            return full.substr(0, slash);
        }
        // The name may have been cut; try again with more room.
        path.resize(path.size() * 2);
    }
}

char PathDelimiter() {
    return '/';
}

void IgnoreBrokenPipe() {
    std::signal(SIGPIPE, SIG_IGN);
}

void ReturnLargeBlocksToSystem() {
#if defined(__GLIBC__)
    // glibc raises its mapping threshold whenever a mapped block is freed,
    // so after the first body every stream block comes from a heap arena;
    // with many workers those arenas kept tens of megabytes resident after
    // a burst. A fixed threshold keeps large blocks mapped: freeing one
    // unmaps it.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
}

namespace {

// Huge pages come in this size on the systems we run on; regions are
// aligned to it so that each can be one.
constexpr uintptr_t HugePageSize = 2 * 1024 * 1024;

void* MapLargeBlock(size_t size) {
    const size_t span = size + HugePageSize;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) {
        return nullptr;
    }
    const auto first = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t start = (first + HugePageSize - 1) & ~(HugePageSize - 1);
    if (start > first) {
        munmap(raw, start - first);
    }
    const uintptr_t end = start + size;
    if (first + span > end) {
        munmap(reinterpret_cast<void*>(end), first + span - end);
    }
#ifdef MADV_HUGEPAGE
    // A hint: where huge pages are off, the region simply gets small ones.
    (void)madvise(reinterpret_cast<void*>(start), size, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<void*>(start);
}

void UnmapLargeBlock(void* block, size_t size) { munmap(block, size); }

}  // namespace

void UseMappedMemoryForLargeBodies() {
    TLargeBlockSource source;
    source.Allocate = &MapLargeBlock;
    source.Release = &UnmapLargeBlock;
    SetLargeBlockSource(source);
}

void RaiseOpenFileLimit() {
    constexpr rlim_t Cap = 1048576;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return;
    }
    const rlim_t wanted = limit.rlim_max == RLIM_INFINITY ? Cap : std::min<rlim_t>(limit.rlim_max, Cap);
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted) {
        return;
    }
    limit.rlim_cur = wanted;
    (void)setrlimit(RLIMIT_NOFILE, &limit);
}

std::unique_ptr<TStopHandler> InstallStopHandler(std::function<void()> onStop, std::function<void()> onReload) {
    return std::make_unique<TPosixStopHandler>(std::move(onStop), std::move(onReload));
}

void RaiseStopSignal() {
    std::raise(SIGTERM);
}

namespace {

class TPosixLogFile : public TLogFile {
public:
    explicit TPosixLogFile(int fd) : fd_(fd) {}
    ~TPosixLogFile() override { ::close(fd_); }
    TPosixLogFile(const TPosixLogFile&) = delete;
    TPosixLogFile& operator=(const TPosixLogFile&) = delete;

    bool Append(std::string_view bytes) override {
        for (;;) {
            const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
            if (written < 0 && errno == EINTR) {
                continue;
            }
            return written == static_cast<ssize_t>(bytes.size());
        }
    }

    bool IsNamedBy(const std::string& path) override {
        struct stat named {};
        struct stat open {};
        return ::stat(path.c_str(), &named) == 0 && ::fstat(fd_, &open) == 0 && named.st_dev == open.st_dev &&
               named.st_ino == open.st_ino;
    }

private:
    int fd_;
};

}  // namespace

std::unique_ptr<TLogFile> OpenLogFile(const std::string& path, std::string& error) {
    // O_APPEND: every write lands at the end, whoever else appends.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<TPosixLogFile>(fd);
}

namespace {

// /proc/self/stat's 22nd field: clock ticks from the boot to the start. The
// name in field 2 may hold blanks and parentheses, so fields are counted
// from the last ')'.
int64_t StartTicksAfterBoot() {
    std::ifstream file("/proc/self/stat");
    std::string stat;
    std::getline(file, stat);
    const size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos) {
        return -1;
    }
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string field;
    for (int number = 3; number <= 22 && fields >> field; ++number) {
        if (number == 22) {
            return std::strtoll(field.c_str(), nullptr, 10);
        }
    }
    return -1;
}

// The boot time, seconds since 1970, from /proc/stat's "btime" line.
int64_t BootTimeSeconds() {
    std::ifstream file("/proc/stat");
    std::string name;
    while (file >> name) {
        if (name == "btime") {
            int64_t seconds = -1;
            file >> seconds;
            return seconds;
        }
        file.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return -1;
}

int64_t StartTimeMs() {
    const int64_t ticks = StartTicksAfterBoot();
    const int64_t boot = BootTimeSeconds();
    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    if (ticks < 0 || boot < 0 || ticksPerSecond <= 0) {
        return -1;
    }
    return boot * 1000 + ticks * 1000 / ticksPerSecond;
}

int64_t OpenDescriptorCount() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    // The listing holds the descriptor that reads it: not one of ours.
    const int own = dirfd(dir);
    int64_t count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != own) {
            ++count;
        }
    }
    closedir(dir);
    return count;
}

// /proc/self/statm's second field: resident pages.
int64_t ResidentBytes() {
    std::ifstream file("/proc/self/statm");
    int64_t size = 0;
    int64_t resident = 0;
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (!(file >> size >> resident) || pageSize <= 0) {
        return -1;
    }
    return resident * pageSize;
}

}  // namespace

TProcessFigures ReadProcessFigures() {
    return {StartTimeMs(), OpenDescriptorCount(), ResidentBytes()};
}

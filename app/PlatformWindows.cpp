// PlatformWindows: the executable's directory from GetModuleFileNameA, the
// console control events (Ctrl+C, Ctrl+Break, closing the window) passed
// to the stop callback, and the process figures. Windows runs control
// handlers on a thread of their own, so the callback runs right there.
#include "app/Platform.h"

#ifdef _WIN32

#include <windows.h>
// Version 2 names the kernel32 entry (K32GetProcessMemoryInfo), so that no
// psapi.dll import is needed.
#ifndef PSAPI_VERSION
#define PSAPI_VERSION 2
#endif
#include <psapi.h>

#include <condition_variable>
#include <cstdlib>
#include <system_error>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "app/Console.h"

namespace {

// The exit status Windows gives a process ended by Ctrl+C.
constexpr int ControlCExitStatus = static_cast<int>(0xC000013AU);

struct TStopState {
    std::mutex lock;
    std::condition_variable idle;
    std::function<void()> onStop;  // guarded by lock; null while nothing is installed
    bool stopping = false;         // guarded by lock
    int running = 0;               // guarded by lock: callbacks under way
};

TStopState& StopState() {
    static TStopState state;
    return state;
}

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    TStopState& state = StopState();
    std::function<void()> onStop;
    {
        std::scoped_lock guard(state.lock);
        if (!state.onStop) {
            return FALSE;
        }
        if (state.stopping) {
            RestoreConsole();
            std::_Exit(ControlCExitStatus);
        }
        state.stopping = true;
        ++state.running;
        onStop = state.onStop;
    }
    onStop();
    {
        std::scoped_lock guard(state.lock);
        --state.running;
    }
    state.idle.notify_all();
    // For CTRL_CLOSE_EVENT Windows ends the process once this returns.
    return TRUE;
}

class TWindowsStopHandler final : public TStopHandler {
public:
    explicit TWindowsStopHandler(std::function<void()> onStop) {
        TStopState& state = StopState();
        {
            std::scoped_lock guard(state.lock);
            state.onStop = std::move(onStop);
            state.stopping = false;
        }
        SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    }

    ~TWindowsStopHandler() override {
        SetConsoleCtrlHandler(OnConsoleControl, FALSE);
        TStopState& state = StopState();
        std::unique_lock guard(state.lock);
        state.onStop = nullptr;
        // A callback under way may still use what its owner is about to free.
        state.idle.wait(guard, [&state] { return state.running == 0; });
    }

    TWindowsStopHandler(const TWindowsStopHandler&) = delete;
    TWindowsStopHandler& operator=(const TWindowsStopHandler&) = delete;
};

}  // namespace

std::string ExecutableDirectory() {
    std::vector<char> path(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return ".";
        }
        if (length < path.size()) {
            const std::string full(path.data(), length);
            const size_t separator = full.find_last_of("\\/");
            if (separator == std::string::npos) {
                return ".";
            }
            return full.substr(0, separator);
        }
        // The name was cut to the buffer; long paths reach 32767 characters.
        if (path.size() >= 65536) {
            return ".";
        }
        path.resize(path.size() * 2);
    }
}

char PathDelimiter() {
    return '\\';
}

void IgnoreBrokenPipe() {}

// The Windows heap decommits large free blocks on its own.
void ReturnLargeBlocksToSystem() {}

// Large pages need a privilege that ordinary accounts lack.
void UseMappedMemoryForLargeBodies() {}

// Windows has no per-process limit on open sockets to raise.
void RaiseOpenFileLimit() {}

// Windows has no reload signal: a reload comes from the file's change.
std::unique_ptr<TStopHandler> InstallStopHandler(std::function<void()> onStop,
                                                 std::function<void()> /*onReload*/) {
    return std::make_unique<TWindowsStopHandler>(std::move(onStop));
}

// GenerateConsoleCtrlEvent would reach every process on the console (the
// test runner included), so the handler is called the way Windows calls
// it: on a new thread.
void RaiseStopSignal() {
    std::thread caller([] { OnConsoleControl(CTRL_C_EVENT); });
    caller.join();
}

#endif  // _WIN32

namespace {

// The volume and file index of an open file: what tells two names of
// one file apart from two files.
bool FileIdentity(HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
    return GetFileInformationByHandle(file, &info) != 0;
}

class TWindowsLogFile : public TLogFile {
public:
    explicit TWindowsLogFile(HANDLE file) : file_(file) {}
    ~TWindowsLogFile() override { CloseHandle(file_); }
    TWindowsLogFile(const TWindowsLogFile&) = delete;
    TWindowsLogFile& operator=(const TWindowsLogFile&) = delete;

    bool Append(std::string_view bytes) override {
        DWORD written = 0;
        return WriteFile(file_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0 &&
               written == bytes.size();
    }

    bool IsNamedBy(const std::string& path) override {
        // Opened without asking for any access, so that no other opener of
        // the file is disturbed.
        const HANDLE named = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (named == INVALID_HANDLE_VALUE) {
            return false;
        }
        BY_HANDLE_FILE_INFORMATION a{};
        BY_HANDLE_FILE_INFORMATION b{};
        const bool same = FileIdentity(named, a) && FileIdentity(file_, b) &&
                          a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                          a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
        CloseHandle(named);
        return same;
    }

private:
    HANDLE file_;
};

}  // namespace

std::unique_ptr<TLogFile> OpenLogFile(const std::string& path, std::string& error) {
    // Append access alone: every write lands at the end. Sharing delete
    // lets the file be renamed or removed while it is open.
    const HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = std::system_category().message(static_cast<int>(GetLastError()));
        return nullptr;
    }
    return std::make_unique<TWindowsLogFile>(file);
}

TProcessFigures ReadProcessFigures() {
    TProcessFigures figures;
    const HANDLE process = GetCurrentProcess();
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        // FILETIME counts 100 ns steps from 1601-01-01.
        constexpr int64_t MsFrom1601To1970 = 11644473600000LL;
        const int64_t steps =
            static_cast<int64_t>((static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime);
        figures.startTimeMs = steps / 10000 - MsFrom1601To1970;
    }
    // A running process holds handles; wine answers 0 without counting, and
    // that is no figure.
    DWORD handles = 0;
    if (GetProcessHandleCount(process, &handles) && handles > 0) {
        figures.openDescriptors = handles;
    }
    PROCESS_MEMORY_COUNTERS memory{};
    if (GetProcessMemoryInfo(process, &memory, sizeof memory)) {
        figures.residentBytes = static_cast<int64_t>(memory.WorkingSetSize);
    }
    return figures;
}

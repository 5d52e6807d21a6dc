// PlatformWindows: the executable's directory from GetModuleFileNameA, and
// the console control events (Ctrl+C, Ctrl+Break, closing the window) passed
// to the stop callback. Windows runs control handlers on a thread of their
// own, so the callback runs right there.
#include "app/Platform.h"

#ifdef _WIN32

#include <windows.h>

#include <condition_variable>
#include <cstdlib>
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

std::unique_ptr<TStopHandler> InstallStopHandler(std::function<void()> onStop) {
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

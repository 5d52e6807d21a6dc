// Test support: counts a process's threads at work. Platform threads park
// for a while after their body and carry the next one; parked threads are
// named "vtl idle" and are not workers, so leak checks leave them out.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <system_error>

#include "server/IdNativeThread.h"

namespace ServerTestSupport {

// Entries of a /proc folder that keep() accepts (all without one), or
// nothing where there is no such folder (Linux only).
inline std::optional<int32_t> CountProcFolder(const std::string& folder,
                                              const std::function<bool(const std::filesystem::path&)>& keep = {}) {
#ifdef __linux__
    std::error_code error;
    std::filesystem::directory_iterator it(folder, error);
    if (error) {
        return std::nullopt;
    }
    int32_t count = 0;
    for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
        if (error) {
            return std::nullopt;
        }
        if (!keep || keep(it->path())) {
            ++count;
        }
    }
    return count;
#else
    (void)folder;
    (void)keep;
    return std::nullopt;
#endif
}

// Threads of the process (a /proc/<pid>/task folder) that are not parked.
inline std::optional<int32_t> CountWorkingThreads(const std::string& taskFolder) {
    return CountProcFolder(taskFolder, [](const std::filesystem::path& task) {
        std::ifstream comm(task / "comm");
        std::string name;
        std::getline(comm, name);
        return name != TIdNativeThread::IdleName;
    });
}

}  // namespace ServerTestSupport

// Test support: counts a process's threads at work. Platform threads park
// for a while after their body and carry the next one; parked threads are
// named "vtl idle" and are not workers, so leak checks leave them out.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>

#include "server/IdNativeThread.h"

namespace ServerTestSupport {

// Threads of the process (a /proc/<pid>/task folder) not parked, or nothing
// where there is no such folder (Linux only).
inline std::optional<int32_t> CountWorkingThreads(const std::string& taskFolder) {
#ifdef __linux__
    std::error_code error;
    std::filesystem::directory_iterator it(taskFolder, error);
    if (error) {
        return std::nullopt;
    }
    int32_t count = 0;
    for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
        if (error) {
            return std::nullopt;
        }
        std::ifstream comm(it->path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name != TIdNativeThread::IdleName) {
            ++count;
        }
    }
    return count;
#else
    (void)taskFolder;
    return std::nullopt;
#endif
}

}  // namespace ServerTestSupport

// ProcStatusValue: one field of a Linux /proc status file, for the memory
// checks of tests. Elsewhere (wine included) the file is missing and the
// answer says so, and the checks that need it skip themselves.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

namespace vtltest {

// A value of the status file in its own unit (kB for memory); -1 where the
// file or the field is missing.
inline int64_t ProcStatusValue(std::string_view field, const std::string& file = "/proc/self/status") {
    std::ifstream status(file);
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, field.size(), field) == 0 && line.size() > field.size() && line[field.size()] == ':') {
            return std::strtoll(line.c_str() + field.size() + 1, nullptr, 10);
        }
    }
    return -1;
}

}  // namespace vtltest

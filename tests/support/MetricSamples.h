// MetricSamples: a page of the Prometheus text format read back as the
// tests compare it: "name{labels}" to the value, comment lines skipped.
#pragma once

#include <map>
#include <sstream>
#include <string>

namespace vtltest {

inline std::map<std::string, std::string> MetricSamples(const std::string& page) {
    std::map<std::string, std::string> samples;
    std::istringstream lines(page);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] != '#') {
            const size_t blank = line.rfind(' ');
            samples[line.substr(0, blank)] = line.substr(blank + 1);
        }
    }
    return samples;
}

}  // namespace vtltest

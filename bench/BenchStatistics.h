#pragma once

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

// The figures every benchmark reports its measurements by.
namespace benchsupport {

// The value `share` of the way up the sorted values (0.5 the median, 0.95
// the 95th percentile); `values` must not be empty.
inline double percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(share * static_cast<double>(values.size())))];
}

inline double median(std::vector<double> values) { return percentile(std::move(values), 0.5); }

// This process's resident memory now, in MB.
inline double residentMegabytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
}

}  // namespace benchsupport

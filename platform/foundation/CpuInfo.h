#pragma once

#include <string>
#include <string_view>

namespace platform {

// What /proc/cpuinfo says about the processor; empty where it is silent.
struct CpuInfo {
    std::string brand;
    std::string vendor;
    std::string family;
    // Distinct (package, core) pairs; 0 when the file lists no topology.
    int physicalCores = 0;

    static CpuInfo parse(std::string_view text);
};

} // namespace platform

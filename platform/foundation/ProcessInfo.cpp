#include "platform/foundation/ProcessInfo.h"

#include "platform/foundation/CpuInfo.h"

#include <sched.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

namespace platform {
namespace {

std::string readFile(const char* path) {
    std::ifstream file(path);
    if (!file) return "";
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::string trimmedLine(std::string text) {
    const auto last = text.find_last_not_of(" \t\r\n");
    text.erase(last == std::string::npos ? 0 : last + 1);
    return text;
}

int configuredProcessors() {
    const long count = ::sysconf(_SC_NPROCESSORS_CONF);
    return count > 0 ? static_cast<int>(count) : 1;
}

} // namespace

int ProcessInfo::activeProcessorCount() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return count;
    }
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int>(online) : 1;
}

std::string ProcessInfo::systemValue(std::string_view name) {
    if (name == "hw.model") return trimmedLine(readFile("/sys/class/dmi/id/product_name"));
    if (name == "machdep.cpu.thread_count") return std::to_string(configuredProcessors());
    if (name != "machdep.cpu.brand_string" && name != "machdep.cpu.vendor" && name != "machdep.cpu.family" &&
        name != "machdep.cpu.core_count") {
        return "";
    }
    const CpuInfo info = CpuInfo::parse(readFile("/proc/cpuinfo"));
    if (name == "machdep.cpu.brand_string") return info.brand;
    if (name == "machdep.cpu.vendor") return info.vendor;
    if (name == "machdep.cpu.family") return info.family;
    // Without topology lines (virtual machines, some architectures) every
    // processor is taken for a core of its own.
    return std::to_string(info.physicalCores > 0 ? info.physicalCores : configuredProcessors());
}

std::optional<uint64_t> ProcessInfo::residentMemoryBytes() {
    std::istringstream statm(readFile("/proc/self/statm"));
    uint64_t totalPages = 0;
    uint64_t residentPages = 0;
    if (!(statm >> totalPages >> residentPages)) return std::nullopt;
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pageSize <= 0) return std::nullopt;
    return residentPages * static_cast<uint64_t>(pageSize);
}

} // namespace platform

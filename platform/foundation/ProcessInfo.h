#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct ProcessInfo {
    // Processors this process may run on.
    static int activeProcessorCount();

    // The kernel variables the Mac names "machdep.cpu.brand_string",
    // "machdep.cpu.vendor", "machdep.cpu.family", "machdep.cpu.core_count",
    // "machdep.cpu.thread_count" and "hw.model", read from their Linux
    // sources. Counts are decimal text. Any other name, or a source that
    // cannot be read, gives an empty string.
    static std::string systemValue(std::string_view name);

    // The resident set size of this process in bytes, absent when unknown.
    static std::optional<uint64_t> residentMemoryBytes();
};

} // namespace platform

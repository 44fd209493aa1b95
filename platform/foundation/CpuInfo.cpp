#include "platform/foundation/CpuInfo.h"

#include <set>
#include <utility>

namespace platform {
namespace {

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

} // namespace

CpuInfo CpuInfo::parse(std::string_view text) {
    CpuInfo info;
    std::set<std::pair<std::string, std::string>> cores;
    std::string physicalId;
    std::string coreId;
    // Each processor is a block of "key : value" lines ended by a blank line.
    auto finishBlock = [&] {
        if (!coreId.empty()) cores.emplace(physicalId, coreId);
        physicalId.clear();
        coreId.clear();
    };
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            if (trimmed(line).empty()) finishBlock();
            continue;
        }
        const std::string_view key = trimmed(line.substr(0, colon));
        const std::string value(trimmed(line.substr(colon + 1)));
        if (key == "model name" && info.brand.empty()) info.brand = value;
        else if (key == "vendor_id" && info.vendor.empty()) info.vendor = value;
        else if (key == "cpu family" && info.family.empty()) info.family = value;
        else if (key == "physical id") physicalId = value;
        else if (key == "core id") coreId = value;
    }
    finishBlock();
    info.physicalCores = static_cast<int>(cores.size());
    return info;
}

} // namespace platform

#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// The ops of a bundle's main function as the runtime runs them, after the
// load-time rewrites (constants folded, nodes fused).
std::vector<std::string> loadedOps(const std::filesystem::path& bundle);

}  // namespace testsupport

#include "mlcore/modelmanager/UnfinishedDownloads.h"

#include <filesystem>
#include <functional>
#include <string_view>
#include <system_error>

#include "mlcore/hub/CacheLayout.h"

namespace celvan {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kPartialSuffix = ".incomplete";

bool isPartial(const fs::path& file) { return file.filename().string().ends_with(kPartialSuffix); }

// Whether any regular file below `root` satisfies `test`; true as well when
// the walk fails part way, since what it did not see may be unfinished.
bool anyFile(const fs::path& root, const std::function<bool(const fs::path&)>& test) {
    std::error_code error;
    if (!fs::exists(root, error)) return static_cast<bool>(error);
    fs::recursive_directory_iterator walk(root, error);
    for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
        const auto status = walk->symlink_status(error);
        if (error) break;
        if (fs::is_regular_file(status) && test(walk->path())) return true;
    }
    return static_cast<bool>(error);
}

}  // namespace

bool hasUnfinishedDownload(const platform::URL& repoFolder, const std::string& relativeFolder) {
    const fs::path repo = repoFolder.path();
    if (anyFile(repo / relativeFolder, isPartial)) return true;

    const fs::path bookkeeping = repoMetadataDestination(repoFolder).path();
    return anyFile(bookkeeping / relativeFolder, [&](const fs::path& partial) {
        if (!isPartial(partial)) return false;
        // "<file>.<tag>.incomplete". A partial whose file is already in place
        // is left over from an older version of that file, not a download
        // of this one still going on. Tags as hubs send them hold no ".".
        std::string stem = partial.filename().string();
        stem.resize(stem.size() - kPartialSuffix.size());
        const auto dot = stem.rfind('.');
        if (dot == std::string::npos) return true;
        const fs::path file = repo / partial.parent_path().lexically_relative(bookkeeping) / stem.substr(0, dot);
        std::error_code error;
        return !fs::exists(file, error);
    });
}

}  // namespace celvan

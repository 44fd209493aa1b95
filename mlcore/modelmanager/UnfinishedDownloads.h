#pragma once

#include <string>

#include "platform/foundation/URL.h"

namespace celvan {

// Whether some download into a folder of a local repository copy has not
// finished: a partial file inside the folder, or a partial file in the
// cache's bookkeeping for a file of it that is not in place yet. A folder
// that cannot be searched counts as unfinished; one that does not exist has
// nothing unfinished in it.
bool hasUnfinishedDownload(const platform::URL& repoFolder, const std::string& relativeFolder);

}  // namespace celvan

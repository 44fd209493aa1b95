#pragma once

#include <string>
#include <string_view>

#include "mlcore/hub/HubApi.h"
#include "platform/foundation/URL.h"

namespace celvan {

// Where the cache keeps a repository and its bookkeeping. Every name that
// comes from a caller or a server is checked here, so that none of them can
// lead a read or write out of the repository folder; a name that fails
// throws Hub::HubClientError::parseError naming it.

// <downloadBase>/<type>/<repo id>.
platform::URL repoDestination(const platform::URL& downloadBase, const HubApi::Repo& repo);
// <repository folder>/.cache/huggingface/download.
platform::URL repoMetadataDestination(const platform::URL& repoDestination);
// <metadata folder>/<file>.metadata.
platform::URL metadataFileLocation(const platform::URL& repoMetadataDestination, const std::string& relativeFilename);
// <metadata folder>/<file>.<etag>.incomplete, with the etag replaced by its
// SHA-256 unless it is short and plain [A-Za-z0-9._-].
platform::URL incompleteFileLocation(const platform::URL& repoMetadataDestination,
                                     const std::string& relativeFilename, const std::string& etag);

// A file path as a repository listing gives it: relative, "/"-separated, no
// empty, "." or ".." segment, no backslash or control character, and not
// inside (or over) the metadata folder.
bool isSafeRelativeFilename(std::string_view name);
void checkRelativeFilename(const std::string& name);
// One or more safe segments ("owner/name").
void checkRepoId(const std::string& id);
// One path component once encoded, so only "", "." and ".." and control
// characters are refused.
void checkRevision(const std::string& revision);

// The etag as it may appear inside a file name.
std::string etagFileComponent(const std::string& etag);

}  // namespace celvan

#pragma once

#include <string_view>

namespace dictaro {

// Our application id: the desktop file's name, the id our windows carry, the
// keyring service.
inline constexpr std::string_view applicationIdentifier = "com.pelmaroven.dictaro";

}  // namespace dictaro

#pragma once

#include <string>
#include <typeinfo>

namespace platform {

// A class's own name without its namespaces ("FormattingError"), as log
// lines name the dynamic type of an object or an error.
std::string unqualifiedTypeName(const std::type_info& type);

}  // namespace platform

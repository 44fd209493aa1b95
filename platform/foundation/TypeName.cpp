#include "platform/foundation/TypeName.h"

#include <cxxabi.h>

#include <cstdlib>

namespace platform {

std::string unqualifiedTypeName(const std::type_info& type) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string name = status == 0 && demangled != nullptr ? demangled : type.name();
    std::free(demangled);
    // Namespaces inside template arguments stay: only the outer name is cut.
    int depth = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '<') ++depth;
        if (name[i] == '>') --depth;
        if (depth == 0 && name.compare(i, 2, "::") == 0) start = i + 2;
    }
    return name.substr(start);
}

}  // namespace platform

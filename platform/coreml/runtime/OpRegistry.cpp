#include "platform/coreml/runtime/OpLibrary.h"
#include "platform/coreml/runtime/Operation.h"

namespace platform::coreml::runtime {

void OpRegistry::add(std::string name, OpFactory factory) {
    entries_.insert_or_assign(std::move(name), std::move(factory));
}

const OpFactory* OpRegistry::find(std::string_view name) const {
    const auto found = entries_.find(name);
    return found == entries_.end() ? nullptr : &found->second;
}

const OpRegistry& OpRegistry::standard() {
    static const OpRegistry registry = [] {
        OpRegistry r;
        registerOpLibrary(r);
        return r;
    }();
    return registry;
}

}  // namespace platform::coreml::runtime

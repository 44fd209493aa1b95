#include "platform/coreml/runtime/OpLibrary.h"

namespace platform::coreml::runtime {

void registerOpLibrary(OpRegistry&) {}

}  // namespace platform::coreml::runtime

#include <string_view>

#include "platform/coreml/runtime/ProgramParser.h"
#include "platform/coreml/runtime/RuntimeError.h"
#include "tests/fuzz/FuzzDriver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        platform::coreml::runtime::parseProgram(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const platform::coreml::runtime::ModelLoadError&) {
    }
    return 0;
}

#include "tests/support/LoadedGraph.h"

#include <fstream>
#include <memory>
#include <sstream>

#include "platform/coreml/runtime/BlobFile.h"
#include "platform/coreml/runtime/GraphBuilder.h"
#include "platform/coreml/runtime/ProgramParser.h"

namespace testsupport {

using namespace platform::coreml::runtime;

std::vector<std::string> loadedOps(const std::filesystem::path& bundle) {
    std::ifstream file(bundle / "model.mil");
    std::stringstream text;
    text << file.rdbuf();
    const auto program = parseProgram(text.str());
    // The bundle writer keeps its large constants in the one weight file.
    std::shared_ptr<BlobFile> weights;
    const auto resolve = [&](const Literal& literal) -> Value {
        const auto* reference = std::get_if<BlobReference>(&literal.content);
        if (!reference) return std::get<Value>(literal.content);
        if (!weights) weights = BlobFile::open(bundle / "weights" / "weight.bin");
        return Value(weights->read(reference->offset, literal.type));
    };
    const auto graph = buildGraph(program.functions.front(), OpRegistry::standard(), resolve);
    std::vector<std::string> ops;
    for (const auto& node : graph->nodes) {
        ops.push_back(node.op);
    }
    return ops;
}

}  // namespace testsupport

#include "tests/support/LoadedGraph.h"

#include <fstream>
#include <sstream>

#include "platform/coreml/runtime/GraphBuilder.h"
#include "platform/coreml/runtime/ProgramParser.h"

namespace testsupport {

using namespace platform::coreml::runtime;

std::vector<std::string> loadedOps(const std::filesystem::path& bundle) {
    std::ifstream file(bundle / "model.mil");
    std::stringstream text;
    text << file.rdbuf();
    const auto program = parseProgram(text.str());
    const auto resolve = [](const Literal& literal) { return std::get<Value>(literal.content); };
    const auto graph = buildGraph(program.functions.front(), OpRegistry::standard(), resolve);
    std::vector<std::string> ops;
    for (const auto& node : graph->nodes) {
        ops.push_back(node.op);
    }
    return ops;
}

}  // namespace testsupport

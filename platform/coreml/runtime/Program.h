#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/coreml/runtime/Value.h"

namespace platform::coreml::runtime {

// A constant stored in the bundle's weight file: `BLOBFILE(path = ..., offset = N)`.
// The offset is that of the blob's record, not of its data.
struct BlobReference {
    std::string path;
    uint64_t offset = 0;
};

// `dict<string, string>({{"k", "v"}, ...})`; only build information uses them.
using DictLiteral = std::vector<std::pair<std::string, std::string>>;

// A typed value written in the program text.
struct Literal {
    ValueType type;
    std::variant<Value, BlobReference, DictLiteral> content;
};

// One thing bound to an argument: a variable's name or a literal.
using Binding = std::variant<std::string, Literal>;

// `name = x`, `name = int32(1)` or `name = (a, b)`.
struct Argument {
    std::string name;
    std::vector<Binding> values;
    bool isTuple = false;
    int line = 0;
};

struct NamedType {
    ValueType type;
    std::string name;
};

struct Statement {
    std::vector<NamedType> outputs;
    std::string op;
    std::vector<Argument> arguments;
    // The `[...]` block after the call: the op's name, and up to opset ios17
    // the parameters of the compression ops.
    std::vector<Argument> attributes;
    int line = 0;
};

struct Function {
    std::string name;
    std::string opset;
    std::vector<NamedType> inputs;
    std::vector<Argument> attributes;
    std::vector<Statement> statements;
    std::vector<std::string> outputs;
    int line = 0;
};

struct Program {
    std::string version;
    std::vector<Argument> attributes;
    std::vector<Function> functions;
};

}  // namespace platform::coreml::runtime

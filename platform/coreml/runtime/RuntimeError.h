#pragma once

#include <stdexcept>
#include <string>

namespace platform::coreml::runtime {

// A bundle that cannot be loaded. The message names the bundle, the line and
// the op when they are known: "TextDecoder.mlmodelc: line 12: conv: ...".
class ModelLoadError : public std::runtime_error {
public:
    enum class Kind {
        unreadableBundle,     // a file is missing or cannot be read
        unsupportedFormat,    // an older network bundle, or a feature we do not run
        malformedProgram,     // the program text does not parse
        invalidProgram,       // parses, but a type, shape, name or argument does not fit
        unsupportedOperation, // an op we do not know
        invalidWeights,       // the weight file is truncated, inconsistent or hostile
    };

    ModelLoadError(Kind kind, std::string detail, int line = 0, std::string op = {}, std::string bundle = {});

    Kind kind() const { return kind_; }
    const std::string& detail() const { return detail_; }
    int line() const { return line_; }
    const std::string& op() const { return op_; }
    const std::string& bundle() const { return bundle_; }

    ModelLoadError inBundle(const std::string& bundle) const;
    ModelLoadError atLine(int line, const std::string& op) const;

private:
    Kind kind_;
    std::string detail_;
    int line_;
    std::string op_;
    std::string bundle_;
};

// A prediction that cannot run on the inputs it was given.
class PredictionError : public std::runtime_error {
public:
    enum class Kind {
        missingInput,
        wrongInputType,
        wrongInputShape,
        invalidInputValue,  // an index or position outside what the model holds
        computationFailed,  // a library the kernels call refused the work
    };

    PredictionError(Kind kind, std::string feature, std::string message);

    Kind kind() const { return kind_; }
    const std::string& feature() const { return feature_; }

private:
    Kind kind_;
    std::string feature_;
};

}  // namespace platform::coreml::runtime

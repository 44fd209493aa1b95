#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/coreml/runtime/Tensor.h"

namespace testsupport {

using platform::coreml::runtime::DataType;
using platform::coreml::runtime::Shape;
using platform::coreml::runtime::Tensor;

// Builds the weight file of a bundle: blob storage version 2, every record on
// a 64-byte boundary with its data right behind it.
class BlobWriter {
public:
    // Appends a blob and returns the offset of its record. Sub-byte types are
    // packed least significant bit first.
    uint64_t add(const Tensor& value);
    std::vector<uint8_t> bytes() const;

private:
    std::vector<uint8_t> blobs_;
    uint32_t count_ = 0;
};

// Writes complete model bundles (`model.mil`, `weights/weight.bin`,
// `metadata.json`) in either program dialect, the way a converter would.
class ModelBundleWriter {
public:
    enum class Dialect { program10, program13 };

    explicit ModelBundleWriter(Dialect dialect = Dialect::program13, std::string opset = "ios17");

    Dialect dialect() const { return dialect_; }

    void input(const std::string& name, DataType type, const Shape& shape);
    void output(const std::string& name);

    // Argument texts in the dialect's form.
    std::string scalar(DataType type, double value) const;
    std::string boolean(bool value) const;
    std::string text(const std::string& value) const;
    std::string ints(const std::vector<int64_t>& values) const;
    std::string literal(const Tensor& value);  // inline, or in the weight file when a converter would put it there
    static std::string tuple(const std::vector<std::string>& names);

    // `const()` statement; large constants go to the weight file.
    std::string constant(const std::string& name, const Tensor& value);

    // A second `const()` over the same stored value as `existing` (tied
    // weights): in the weight file both refer to one blob.
    std::string shareConstant(const std::string& name, const std::string& existing);

    // One statement with typed outputs; returns the first output's name.
    struct Output {
        std::string name;
        DataType type;
        Shape shape;
    };
    std::string op(const std::string& op, const std::vector<std::pair<std::string, std::string>>& arguments,
                   const std::vector<Output>& outputs, const std::string& attributes = {});
    // A statement written verbatim (for malformed programs).
    void raw(const std::string& line);

    std::string programText() const;
    // Writes the bundle folder and returns its path.
    std::filesystem::path write(const std::filesystem::path& bundle) const;

    static std::string typeText(DataType type, const Shape& shape);

private:
    Dialect dialect_;
    std::string opset_;
    std::vector<std::pair<std::string, std::string>> inputs_;
    struct Feature {
        std::string name;
        DataType type;
        Shape shape;
    };
    std::vector<Feature> inputFeatures_;
    std::vector<std::string> statements_;
    std::vector<std::string> outputs_;
    std::vector<Feature> declared_;
    BlobWriter blobs_;
    std::map<std::string, std::pair<std::string, std::string>> constants_;  // name -> type text, literal text
    bool usesWeights_ = false;
};

// Text of one number as a converter prints it: C99 hexadecimal floats,
// "inf", "-inf" and "nan", integers in decimal.
std::string numberText(DataType type, double value);

}  // namespace testsupport

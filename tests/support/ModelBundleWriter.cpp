#include "tests/support/ModelBundleWriter.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "platform/coreml/runtime/BlobFile.h"

namespace testsupport {
namespace {

using namespace platform::coreml::runtime;

void put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    std::memcpy(bytes.data() + at, &value, 4);
}

void put64(std::vector<uint8_t>& bytes, size_t at, uint64_t value) {
    std::memcpy(bytes.data() + at, &value, 8);
}

size_t aligned(size_t n) {
    return (n + 63) / 64 * 64;
}

bool goesToWeights(const Tensor& value, const std::string& opset) {
    const DataType t = value.dataType();
    bool storable = t == DataType::Float16 || t == DataType::Float32 || t == DataType::UInt8 || t == DataType::Int8;
    if (opset == "ios18") {
        storable = storable || t == DataType::Int16 || t == DataType::UInt16 || t == DataType::Int32 ||
                   t == DataType::UInt32;
    }
    storable = storable || packedBits(t) < 8;
    return storable && value.count() >= 10;
}

std::string nested(const Tensor& value, size_t level, int64_t& index) {
    const Shape& shape = value.shape();
    if (level == shape.size()) return numberText(value.dataType(), value.number(index++));
    std::string text = "[";
    for (int64_t i = 0; i < shape[level]; ++i) {
        if (i) text += ", ";
        text += nested(value, level + 1, index);
    }
    return text + "]";
}

}  // namespace

std::string numberText(DataType type, double value) {
    if (type == DataType::Bool) return value != 0 ? "true" : "false";
    if (isInteger(type)) return std::to_string(static_cast<int64_t>(value));
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%a", value);
    return buffer;
}

uint64_t BlobWriter::add(const Tensor& value) {
    const uint64_t record = 64 + blobs_.size();
    const unsigned bits = packedBits(value.dataType());
    const size_t size = (static_cast<size_t>(value.count()) * bits + 7) / 8;
    blobs_.resize(blobs_.size() + 64 + aligned(size), 0);
    const size_t at = static_cast<size_t>(record - 64);
    put32(blobs_, at, 0xDEADBEEF);
    put32(blobs_, at + 4, blobTypeCode(value.dataType()));
    put64(blobs_, at + 8, size);
    put64(blobs_, at + 16, record + 64);
    uint8_t* data = blobs_.data() + at + 64;
    if (bits >= 8) {
        std::memcpy(data, value.bytes(), size);
    } else {
        for (int64_t i = 0; i < value.count(); ++i) {
            const auto element = static_cast<unsigned>(static_cast<int64_t>(value.number(i))) & ((1u << bits) - 1);
            for (unsigned b = 0; b < bits; ++b) {
                const uint64_t bit = static_cast<uint64_t>(i) * bits + b;
                if (element >> b & 1u) data[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
            }
        }
    }
    ++count_;
    return record;
}

std::vector<uint8_t> BlobWriter::bytes() const {
    std::vector<uint8_t> file(64 + blobs_.size(), 0);
    put32(file, 0, count_);
    put32(file, 4, 2);
    if (!blobs_.empty()) std::memcpy(file.data() + 64, blobs_.data(), blobs_.size());
    return file;
}

ModelBundleWriter::ModelBundleWriter(Dialect dialect, std::string opset) : dialect_(dialect), opset_(std::move(opset)) {}

std::string ModelBundleWriter::typeText(DataType type, const Shape& shape) {
    return "tensor<" + std::string(name(type)) + ", " + describe(shape) + ">";
}

void ModelBundleWriter::input(const std::string& name, DataType type, const Shape& shape) {
    inputs_.emplace_back(typeText(type, shape), name);
    inputFeatures_.push_back(Feature{name, type, shape});
}

void ModelBundleWriter::output(const std::string& name) {
    outputs_.push_back(name);
}

std::string ModelBundleWriter::scalar(DataType type, double value) const {
    const std::string number = numberText(type, value);
    if (dialect_ == Dialect::program10) return "tensor<" + std::string(name(type)) + ", []>(" + number + ")";
    return std::string(name(type)) + "(" + number + ")";
}

std::string ModelBundleWriter::boolean(bool value) const {
    return scalar(DataType::Bool, value ? 1 : 0);
}

std::string ModelBundleWriter::text(const std::string& value) const {
    if (dialect_ == Dialect::program10) return "tensor<string, []>(\"" + value + "\")";
    return "string(\"" + value + "\")";
}

std::string ModelBundleWriter::ints(const std::vector<int64_t>& values) const {
    std::string text = typeText(DataType::Int32, {static_cast<int64_t>(values.size())}) + "([";
    for (size_t i = 0; i < values.size(); ++i) text += (i ? ", " : "") + std::to_string(values[i]);
    return text + "])";
}

std::string ModelBundleWriter::literal(const Tensor& value) {
    const std::string type = typeText(value.dataType(), value.shape());
    if (goesToWeights(value, opset_)) {
        usesWeights_ = true;
        const uint64_t offset = blobs_.add(value);
        return type + "(BLOBFILE(path = " + text("@model_path/weights/weight.bin") +
               ", offset = " + scalar(DataType::UInt64, static_cast<double>(offset)) + "))";
    }
    if (value.rank() == 0 && dialect_ == Dialect::program13) return scalar(value.dataType(), value.number(0));
    int64_t index = 0;
    return type + "(" + nested(value, 0, index) + ")";
}

std::string ModelBundleWriter::tuple(const std::vector<std::string>& names) {
    std::string text = "(";
    for (size_t i = 0; i < names.size(); ++i) text += (i ? ", " : "") + names[i];
    return text + ")";
}

std::string ModelBundleWriter::constant(const std::string& name, const Tensor& value) {
    const std::string type = typeText(value.dataType(), value.shape());
    const std::string valueText = literal(value);
    constants_[name] = {type, valueText};
    statements_.push_back(type + " " + name + " = const()[name = " + text(name) + ", val = " + valueText + "];");
    return name;
}

std::string ModelBundleWriter::shareConstant(const std::string& name, const std::string& existing) {
    const auto& [type, valueText] = constants_.at(existing);
    constants_[name] = {type, valueText};
    statements_.push_back(type + " " + name + " = const()[name = " + text(name) + ", val = " + valueText + "];");
    return name;
}

std::string ModelBundleWriter::op(const std::string& op, const std::vector<std::pair<std::string, std::string>>& arguments,
                                  const std::vector<Output>& outputs, const std::string& attributes) {
    std::string line;
    for (size_t i = 0; i < outputs.size(); ++i) {
        if (i) line += ", ";
        line += typeText(outputs[i].type, outputs[i].shape) + " " + outputs[i].name;
        declared_.push_back(Feature{outputs[i].name, outputs[i].type, outputs[i].shape});
    }
    line += " = " + op + "(";
    for (size_t i = 0; i < arguments.size(); ++i) {
        line += (i ? ", " : "") + arguments[i].first + " = " + arguments[i].second;
    }
    line += ")[name = " + text(outputs.front().name) + (attributes.empty() ? "" : ", " + attributes) + "];";
    statements_.push_back(line);
    return outputs.front().name;
}

void ModelBundleWriter::raw(const std::string& line) {
    statements_.push_back(line);
}

std::string ModelBundleWriter::programText() const {
    std::string text = dialect_ == Dialect::program10 ? "program(1.0)\n" : "program(1.3)\n";
    text += "[buildInfo = dict<" + std::string(dialect_ == Dialect::program10 ? "tensor<string, []>, tensor<string, []>" : "string, string") +
            ">({{\"coremlc-component-MIL\", \"3520.4.1\"}, {\"coremlc-version\", \"3520.5.1\"}})]\n{\n";
    text += "    func main<" + opset_ + ">(";
    for (size_t i = 0; i < inputs_.size(); ++i) text += (i ? ", " : "") + inputs_[i].first + " " + inputs_[i].second;
    text += ") {\n";
    for (const auto& statement : statements_) text += "            " + statement + "\n";
    text += "        } -> (";
    for (size_t i = 0; i < outputs_.size(); ++i) text += (i ? ", " : "") + outputs_[i];
    text += ");\n}\n";
    return text;
}

std::filesystem::path ModelBundleWriter::write(const std::filesystem::path& bundle) const {
    namespace fs = std::filesystem;
    fs::create_directories(bundle);
    std::ofstream(bundle / "model.mil", std::ios::binary) << programText();
    if (usesWeights_) {
        fs::create_directories(bundle / "weights");
        const auto bytes = blobs_.bytes();
        std::ofstream(bundle / "weights" / "weight.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    const auto schema = [](const std::vector<Feature>& features) {
        std::string json = "[";
        for (size_t i = 0; i < features.size(); ++i) {
            const auto& f = features[i];
            const std::string dataType = f.type == DataType::Float16   ? "Float16"
                                         : f.type == DataType::Float32 ? "Float32"
                                         : f.type == DataType::Float64 ? "Double"
                                                                       : "Int32";
            json += std::string(i ? ", " : "") + "{\"name\": \"" + f.name + "\", \"type\": \"MultiArray\", \"dataType\": \"" +
                    dataType + "\", \"shape\": \"" + describe(f.shape) + "\", \"formattedType\": \"MultiArray (" +
                    dataType + " " + describe(f.shape) + ")\", \"isOptional\": \"0\", \"hasShapeFlexibility\": \"0\"}";
        }
        return json + "]";
    };
    std::vector<Feature> outputs;
    for (const auto& name : outputs_) {
        for (const auto& d : declared_) {
            if (d.name == name) outputs.push_back(d);
        }
    }
    std::ofstream(bundle / "metadata.json") << "[{\"inputSchema\": " << schema(inputFeatures_)
                                             << ", \"outputSchema\": " << schema(outputs) << "}]\n";
    return bundle;
}

}  // namespace testsupport

#include "platform/coreml/runtime/RuntimeModel.h"

#include <fstream>
#include <sstream>

#include "platform/coreml/runtime/GraphBuilder.h"
#include "platform/coreml/runtime/ProgramParser.h"
#include "platform/coreml/runtime/RuntimeError.h"

namespace platform::coreml::runtime {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kModelPathPrefix = "@model_path/";
// Open dimensions get one graph per distinct set of input shapes; a caller
// cycling through endless shapes must not grow memory without bound.
constexpr size_t kMaxSpecializations = 16;

std::string readProgramText(const fs::path& bundle) {
    const fs::path program = bundle / "model.mil";
    std::error_code error;
    if (!fs::is_directory(bundle, error)) {
        throw ModelLoadError(ModelLoadError::Kind::unreadableBundle, "no model bundle at " + bundle.string());
    }
    if (!fs::exists(program, error)) {
        for (const auto& entry : fs::directory_iterator(bundle, error)) {
            if (entry.path().filename().string().rfind("model.espresso.", 0) == 0) {
                throw ModelLoadError(ModelLoadError::Kind::unsupportedFormat,
                                     "the bundle holds a neural network in the older espresso format, which is not "
                                     "supported; only ML program bundles (model.mil) can be loaded");
            }
        }
        throw ModelLoadError(ModelLoadError::Kind::unreadableBundle, "the bundle has no model.mil");
    }
    std::ifstream stream(program, std::ios::binary);
    if (!stream) throw ModelLoadError(ModelLoadError::Kind::unreadableBundle, "cannot read model.mil");
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

// "@model_path/weights/weight.bin" names a file inside the bundle; anything
// that would leave the bundle is refused.
fs::path weightPath(const fs::path& bundle, const std::string& path) {
    if (path.rfind(kModelPathPrefix, 0) != 0) {
        throw ModelLoadError(ModelLoadError::Kind::invalidProgram, "weight path '" + path + "' is not inside the bundle");
    }
    const fs::path relative = fs::path(path.substr(kModelPathPrefix.size())).lexically_normal();
    if (relative.empty() || relative.is_absolute() || *relative.begin() == "..") {
        throw ModelLoadError(ModelLoadError::Kind::invalidProgram, "weight path '" + path + "' is not inside the bundle");
    }
    return bundle / relative;
}

const Function& mainFunction(const Program& program) {
    for (const auto& function : program.functions) {
        if (function.name == "main") return function;
    }
    if (program.functions.size() == 1) return program.functions.front();
    throw ModelLoadError(ModelLoadError::Kind::invalidProgram, "the program has no function 'main'");
}

void checkFeatureType(const std::string& name, DataType type, int line) {
    switch (type) {
        case DataType::Float16:
        case DataType::Float32:
        case DataType::Float64:
        case DataType::Int32:
            return;
        default:
            throw ModelLoadError(ModelLoadError::Kind::unsupportedFormat,
                                 "feature '" + name + "' is " + std::string(runtime::name(type)) +
                                     "; features must be fp16, fp32, fp64 or int32 arrays",
                                 line);
    }
}

}  // namespace

std::shared_ptr<RuntimeModel> RuntimeModel::load(const fs::path& bundlePath) {
    const fs::path bundle = bundlePath.has_filename() ? bundlePath : bundlePath.parent_path();
    std::shared_ptr<RuntimeModel> model(new RuntimeModel());
    model->bundleName_ = bundle.filename().string();
    try {
        model->program_ = parseProgram(readProgramText(bundle));
        model->function_ = &mainFunction(model->program_);

        auto blobs = std::make_shared<std::map<fs::path, std::shared_ptr<BlobFile>>>();
        model->resolve_ = [bundle, blobs](const Literal& literal) -> Value {
            if (const auto* value = std::get_if<Value>(&literal.content)) return *value;
            if (const auto* reference = std::get_if<BlobReference>(&literal.content)) {
                const fs::path path = weightPath(bundle, reference->path);
                auto& file = (*blobs)[path];
                if (!file) file = BlobFile::open(path);
                return Value(file->read(reference->offset, literal.type));
            }
            throw ModelLoadError(ModelLoadError::Kind::invalidProgram, "a dictionary cannot be an op's value");
        };

        const Function& function = *model->function_;
        for (const auto& input : function.inputs) {
            checkFeatureType(input.name, input.type.dataType, function.line);
            model->inputs_.push_back(FeatureSpec{input.name, input.type.dataType, input.type.shape});
            model->declaredConcrete_ = model->declaredConcrete_ && isConcrete(input.type.shape);
        }
        auto graph = buildGraph(function, OpRegistry::standard(), model->resolve_);
        for (size_t i = 0; i < function.outputs.size(); ++i) {
            const auto& type = graph->values[static_cast<size_t>(graph->outputs[i])].type;
            checkFeatureType(function.outputs[i], type.dataType, function.line);
            model->outputs_.push_back(FeatureSpec{function.outputs[i], type.dataType, type.shape});
        }
        model->executor_ = std::make_shared<Executor>(std::move(graph));
    } catch (const ModelLoadError& error) {
        throw error.inBundle(model->bundleName_);
    } catch (const std::bad_alloc&) {
        throw ModelLoadError(ModelLoadError::Kind::invalidProgram, "out of memory while loading", 0, {},
                             model->bundleName_);
    }
    return model;
}

std::shared_ptr<const Executor> RuntimeModel::executorFor(const std::vector<Shape>& shapes) const {
    bool declared = true;
    for (size_t i = 0; i < shapes.size(); ++i) declared = declared && shapes[i] == inputs_[i].shape;
    if (declared && declaredConcrete_) return executor_;
    std::lock_guard lock(specializedMutex_);
    if (auto found = specialized_.find(shapes); found != specialized_.end()) return found->second;
    auto executor = std::make_shared<const Executor>(buildGraph(*function_, OpRegistry::standard(), resolve_, &shapes));
    if (specialized_.size() >= kMaxSpecializations) specialized_.erase(specialized_.begin());
    specialized_.emplace(shapes, executor);
    return executor;
}

std::map<std::string, Tensor> RuntimeModel::predict(const std::map<std::string, Tensor>& inputs,
                                                    const std::function<void()>& checkpoint) const {
    std::vector<Tensor> ordered;
    std::vector<Shape> shapes;
    for (const auto& declared : inputs_) {
        const auto found = inputs.find(declared.name);
        if (found == inputs.end()) {
            throw PredictionError(PredictionError::Kind::missingInput, declared.name,
                                  "the input feature '" + declared.name + "' is missing");
        }
        const Tensor& tensor = found->second;
        if (tensor.dataType() != declared.dataType) {
            throw PredictionError(PredictionError::Kind::wrongInputType, declared.name,
                                  "the input feature '" + declared.name + "' is " + std::string(name(tensor.dataType())) +
                                      ", the model expects " + std::string(name(declared.dataType)));
        }
        if (!shapesCompatible(declared.shape, tensor.shape())) {
            throw PredictionError(PredictionError::Kind::wrongInputShape, declared.name,
                                  "the input feature '" + declared.name + "' has shape " + describe(tensor.shape()) +
                                      ", the model expects " + describe(declared.shape));
        }
        ordered.push_back(tensor);
        shapes.push_back(tensor.shape());
    }
    std::shared_ptr<const Executor> executor;
    try {
        executor = executorFor(shapes);
    } catch (const ModelLoadError& error) {
        throw error.inBundle(bundleName_);
    }
    std::vector<Tensor> results = executor->run(std::move(ordered), checkpoint);
    std::map<std::string, Tensor> outputs;
    for (size_t i = 0; i < outputs_.size(); ++i) outputs.emplace(outputs_[i].name, std::move(results[i]));
    return outputs;
}

}  // namespace platform::coreml::runtime

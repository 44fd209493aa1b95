#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/coreml/runtime/Tensor.h"
#include "platform/coreml/runtime/Value.h"

namespace platform::coreml::runtime {

// The function's opset tag (`func main<ios17>`). Arguments of an op may differ
// between opsets, so builders can ask which one they are reading.
enum class Opset : int { iOS15 = 15, iOS16 = 16, iOS17 = 17, iOS18 = 18 };

// A tensor input of one node, by position in the node's input list.
struct InputRef {
    int index = -1;
};

class KernelContext;
struct NodeBinding;

// What one statement looks like to its op while the program loads. The op
// reads its arguments, checks their types and shapes, states each output's
// type and shape, and returns the kernel that computes it. Every argument the
// statement passes must be read (or ignored explicitly): an argument nobody
// reads is a program this runtime does not understand.
//
// Shapes may hold kUnknownDim while a program with open dimensions is
// validated; an op then leaves the dimensions that depend on them unknown.
// Kernels always run on concrete shapes.
class OpBuilder {
public:
    explicit OpBuilder(NodeBinding& binding) : binding_(binding) {}

    const std::string& op() const;
    Opset opset() const;
    int line() const;

    // Argument or (for the older compression ops) attribute of that name.
    bool has(std::string_view name) const;
    void ignore(std::string_view name);

    // Tensor inputs, bound to a variable or written as a literal.
    InputRef input(std::string_view name);
    std::optional<InputRef> optionalInput(std::string_view name);
    std::vector<InputRef> inputList(std::string_view name);
    const ValueType& typeOf(InputRef input) const;
    const Shape& shapeOf(InputRef input) const { return typeOf(input).shape; }
    DataType dataTypeOf(InputRef input) const { return typeOf(input).dataType; }
    // The input's value when it is known at load, else nullptr.
    const Tensor* constantOf(InputRef input) const;

    // Parameters: arguments whose values must be known at load.
    Tensor constant(std::string_view name);
    std::optional<Tensor> optionalConstant(std::string_view name);
    int64_t integer(std::string_view name);
    int64_t integer(std::string_view name, int64_t fallback);
    std::vector<int64_t> integers(std::string_view name);
    std::vector<int64_t> integers(std::string_view name, std::vector<int64_t> fallback);
    double number(std::string_view name);
    double number(std::string_view name, double fallback);
    bool boolean(std::string_view name, bool fallback);
    std::string string(std::string_view name);
    std::string string(std::string_view name, std::string fallback);

    size_t outputCount() const;
    const ValueType& declaredOutput(size_t index) const;
    // The output as the op computes it; it must agree with the declaration.
    void setOutput(size_t index, DataType type, Shape shape);
    // Shorthand: the declared data type with this shape.
    void setOutput(size_t index, Shape shape);

    [[noreturn]] void fail(const std::string& message) const;
    void require(bool condition, const std::string& message) const {
        if (!condition) fail(message);
    }
    void requireFloat(InputRef input, std::string_view what) const;
    void requireRank(InputRef input, size_t rank, std::string_view what) const;

private:
    NodeBinding& binding_;
};

// Computes one node. Kernels are built once at load and shared by every
// prediction, so `run` must not change the kernel.
class Kernel {
public:
    virtual ~Kernel() = default;
    virtual void run(KernelContext& context) const = 0;
};

template <typename Function>
std::unique_ptr<Kernel> makeKernel(Function function) {
    struct Wrapped final : Kernel {
        explicit Wrapped(Function f) : f_(std::move(f)) {}
        void run(KernelContext& context) const override { f_(context); }
        Function f_;
    };
    return std::make_unique<Wrapped>(std::move(function));
}

// The run-time side of one node: its input tensors and its outputs, whose data
// types and shapes were fixed when the node was built.
class KernelContext {
public:
    virtual ~KernelContext() = default;

    virtual const Tensor& input(InputRef input) const = 0;
    virtual const Shape& outputShape(size_t index) const = 0;
    virtual DataType outputType(size_t index) const = 0;
    // A fresh buffer of the output's type and shape (contents unspecified).
    virtual Tensor& allocateOutput(size_t index) = 0;
    // An output that shares storage with an input (reshape and friends).
    virtual void setOutput(size_t index, Tensor tensor) = 0;
    // The input after `prepare`, which must depend on nothing but the input's
    // contents (a widened or reordered copy of it). When the input is unchanged
    // since the previous prediction, the copy prepared then is returned.
    virtual Tensor preparedInput(InputRef input, const std::function<Tensor(const Tensor&)>& prepare) = 0;
    // preparedInput for a kernel that can also read the input where it lies
    // and gains from a copy only when the copy is read again: the copy when
    // the input is the same as in the previous prediction, an invalid tensor
    // when it is new.
    virtual Tensor settledInput(InputRef input, const std::function<Tensor(const Tensor&)>& prepare) = 0;
    // Splits [0, count) into ranges of at least `grain` items run on the
    // worker threads; returns when all are done.
    virtual void parallelFor(int64_t count, int64_t grain,
                             const std::function<void(int64_t begin, int64_t end)>& body) const = 0;
};

using OpFactory = std::function<std::unique_ptr<Kernel>(OpBuilder&)>;

// The ops this runtime knows. Each family registers its ops in its own file
// through a register function listed in OpLibrary.cpp.
class OpRegistry {
public:
    void add(std::string name, OpFactory factory);
    const OpFactory* find(std::string_view name) const;
    bool contains(std::string_view name) const { return find(name) != nullptr; }

    // Every op of the library.
    static const OpRegistry& standard();

private:
    std::map<std::string, OpFactory, std::less<>> entries_;
};

}  // namespace platform::coreml::runtime

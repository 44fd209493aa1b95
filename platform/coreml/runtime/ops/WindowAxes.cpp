#include "platform/coreml/runtime/ops/WindowAxes.h"

#include <algorithm>

namespace platform::coreml::runtime {

std::vector<Axis> resolveAxes(OpBuilder& b, const Shape& spatial, const Shape& kernel, bool ceilMode) {
    const size_t rank = spatial.size();
    const std::vector<int64_t> strides = b.integers("strides", std::vector<int64_t>(rank, 1));
    const std::vector<int64_t> dilations = b.integers("dilations", std::vector<int64_t>(rank, 1));
    const std::string padType = b.string("pad_type", "valid");
    std::vector<int64_t> pad = b.integers("pad", std::vector<int64_t>(rank * 2, 0));
    b.require(strides.size() == rank && dilations.size() == rank, "strides and dilations need one entry per spatial axis");
    b.require(pad.size() == rank * 2, "pad needs two entries per spatial axis");
    std::vector<Axis> axes(rank);
    for (size_t i = 0; i < rank; ++i) {
        Axis& a = axes[i];
        a.input = spatial[i];
        a.kernel = kernel[i];
        a.stride = strides[i];
        a.dilation = dilations[i];
        b.require(a.stride > 0 && a.dilation > 0, "strides and dilations must be positive");
        b.require(a.kernel > 0, "kernel dimensions must be positive");
        const int64_t span = (a.kernel - 1) * a.dilation + 1;
        if (padType == "valid") {
            a.before = a.after = 0;
        } else if (padType == "custom") {
            a.before = pad[2 * i];
            a.after = pad[2 * i + 1];
            b.require(a.before >= 0 && a.after >= 0, "padding must not be negative");
        } else if (padType == "same" || padType == "same_lower") {
            if (a.input == kUnknownDim) {
                a.output = kUnknownDim;
                continue;
            }
            const int64_t out = (a.input + a.stride - 1) / a.stride;
            const int64_t total = std::max<int64_t>((out - 1) * a.stride + span - a.input, 0);
            a.before = padType == "same" ? total / 2 : (total + 1) / 2;
            a.after = total - a.before;
        } else {
            b.fail("unknown pad_type '" + padType + "'");
        }
        if (a.input == kUnknownDim) {
            a.output = kUnknownDim;
            continue;
        }
        const int64_t padded = a.input + a.before + a.after - span;
        b.require(padded >= 0, "the kernel is larger than the padded input");
        a.output = (ceilMode ? (padded + a.stride - 1) / a.stride : padded / a.stride) + 1;
        // A window may overhang the end, but it must start inside the input
        // or its leading padding.
        if (ceilMode && (a.output - 1) * a.stride >= a.input + a.before) --a.output;
    }
    return axes;
}

}  // namespace platform::coreml::runtime

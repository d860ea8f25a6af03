// ActivationRanges: the largest magnitude each convolution's input reached when the model ran in
// fp32 on calibration photos; int8 convolutions map [0, max] onto 0–255 (or [−max, max] onto
// −127–127 for an input that can be negative) with it. Kept as text, one
// "<max> <tensor name>" per line after a "model <SHA-256>" line naming the model it was measured on,
// and shipped for the bundled model.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Common/Sha256.h"

#include <oneapi/dnnl/dnnl.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace pelorin::inference {

struct ActivationRanges {
    std::string model; // hex SHA-256 of the model file
    std::unordered_map<std::string, float> maxima;

    // Absent for a tensor that was not measured, or never rose above zero.
    std::optional<float> maximumOf(const std::string& value) const;

    std::string toText() const;
    // Refuses malformed lines, non-finite or negative maxima, and a missing model line.
    static Result<ActivationRanges, std::string> parse(std::string_view text);
    // The ranges shipped with the program for the model with this digest, if any.
    static std::optional<ActivationRanges> shippedFor(const Sha256Digest& model);
};

// The largest |value| in an fp32 tensor, as calibration measures it (any layout: padding is zero).
float largestMagnitude(const dnnl::memory& tensor);

} // namespace pelorin::inference

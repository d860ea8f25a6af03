// Network: an ONNX segmentation model loaded once and run on our own oneDNN executor.
//
// load() parses the graph, converts fp16 weights to fp32, folds the constant subgraphs (Shape,
// Slice, Concat, Cast, Constant) that compute Resize sizes for the chosen input resolution, and
// plans every primitive and buffer. Convolutions compute in fp32, in bf16 (fp32 accumulation, a
// third of the memory) where the processor has native bf16 and it is asked for, or in int8 where it
// has VNNI and the model has calibrated activation ranges. The loaded network is
// immutable: run() may be called from several threads, each call using its own scratch buffers
// (callers serialise inference when they want it to use every core; see ForegroundSegmenter).
#pragma once

#include "engine/Common/Result.h"
#include "engine/Inference/AlignedTensor.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace pelorin {

// What the convolutions compute in. `automatic`: as PELORIN_PRECISION says (fp32, bf16, int8 or
// auto); PrecisionPolicy.h says what auto picks.
enum class Precision { automatic, fp32, bf16, int8 };

const char* precisionName(Precision precision);

class Network {
public:
    struct Options {
        size_t inputHeight = 1024; // multiples of 32
        size_t inputWidth = 1024;
        Precision precision = Precision::automatic;
    };

    // A clear message on failure: unreadable file, not an ONNX model, or the op/attribute that is
    // not supported, by name.
    static Result<std::shared_ptr<const Network>, std::string> load(const std::filesystem::path& model,
                                                                    const Options& options);
    static Result<std::shared_ptr<const Network>, std::string> load(const std::filesystem::path& model)
    {
        return load(model, Options{});
    }

    virtual ~Network() = default;

    size_t inputHeight() const { return inputHeight_; }
    size_t inputWidth() const { return inputWidth_; }

    // input: 1 × 3 × inputHeight × inputWidth floats, NCHW, already normalised as the model expects;
    // at any address (an input that is not tensor-aligned is copied once; AlignedFloats avoids that).
    // Returns the graph output named "output": 1 × 1 × inputHeight × inputWidth floats, row-major.
    virtual Result<AlignedFloats, std::string> run(std::span<const float> input) const = 0;

protected:
    Network(size_t inputHeight, size_t inputWidth) : inputHeight_(inputHeight), inputWidth_(inputWidth) {}

private:
    size_t inputHeight_;
    size_t inputWidth_;
};

} // namespace pelorin

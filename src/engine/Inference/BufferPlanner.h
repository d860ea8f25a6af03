// BufferPlanner: places every intermediate buffer of a run in one arena, reusing bytes once a
// buffer is dead (liveness over the step sequence), letting in-place ops write over their operand,
// and turning a concatenation into a no-op when its inputs can be produced straight into their
// slices of its output.
//
// Soundness rule, checked for every pair of buffers that end up sharing bytes: a buffer's bytes are
// never written while it is live, except by the one in-place step that consumes it, or by an
// elided concatenation whose output is made of it. A concatenation that would break the rule keeps
// its step (and its own buffer).
//
// Contract: a plain value type; no locking, no library calls. plan() never throws.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Inference/AlignedTensor.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace pelorin::inference {

class BufferPlanner {
public:
    enum class Storage {
        arena,          // inside the per-run arena
        externalInput,  // the caller's input (read-only)
        externalOutput, // the caller's output vector
    };

    struct Location {
        Storage storage = Storage::arena;
        size_t offset = 0; // bytes from the start of the arena or of the external buffer
    };

    struct Plan {
        std::vector<Location> buffers;
        std::vector<bool> elidedSteps; // concatenations done by placement alone
        size_t arenaBytes = 0;
    };

    // Every offset the planner produces is a multiple of this.
    static constexpr size_t alignment = tensorAlignment;

    int addBuffer(size_t bytes, Storage storage = Storage::arena);
    // Steps in execution order; returns the step's index.
    int addStep(std::vector<int> reads, std::vector<int> writes);
    // `result` takes `operand`'s bytes; `step` writes result and is operand's last reader.
    void requestInPlace(int step, int operand, int result);
    // Each input buffer becomes the slice of `output` at its byte offset, if that is sound and
    // every offset is a multiple of `alignment`; then `step` (the concatenation) need not run.
    void requestConcatInPlace(int step, int output, std::vector<std::pair<int, size_t>> inputsAtOffsets);

    // Fails only when an in-place request cannot be honoured (the caller's graph contradicts it).
    Result<Plan, std::string> plan() const;

private:
    struct Buffer {
        size_t bytes;
        Storage storage;
    };
    struct Step {
        std::vector<int> reads, writes;
    };
    struct InPlace {
        int step, operand, result;
    };
    struct Concat {
        int step, output;
        std::vector<std::pair<int, size_t>> inputs;
    };

    std::vector<Buffer> buffers_;
    std::vector<Step> steps_;
    std::vector<InPlace> inPlace_;
    std::vector<Concat> concats_;
};

} // namespace pelorin::inference

// WinogradConvolution: our own Winograd convolution, F(4×4, 3×3) or F(6×6, 3×3), for undilated 3×3
// stride-1 convolutions on fp32 tensors in oneDNN's nChw8c layout, for processors where oneDNN has
// no Winograd kernel (AVX2 without AVX-512), which would otherwise run every 3×3 convolution direct.
//
// Four to five times fewer multiplications than direct convolution. Work goes in blocks of tiles: a block's
// input transform, its 36 matrix products and its output transform (with bias, ReLU and a residual
// add) run on one thread while the transformed data stays in that thread's cache.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pelorin::inference {

class WinogradConvolution {
public:
    // How the result meets a residual tensor, after bias and ReLU.
    enum class Residual {
        none,
        accumulate, // added to what the destination holds
        add,        // added from a separate tensor of the destination's shape
    };
    struct Params {
        int64_t inChannels = 0, outChannels = 0;
        int64_t height = 0, width = 0;       // the source's
        int64_t outHeight = 0, outWidth = 0; // the destination's
        int64_t padTop = 0, padLeft = 0;
        bool relu = false;
        Residual residual = Residual::none;
    };

    // Names the layout of the transformed weights, for caches of them.
    static constexpr const char* weightLayout = "wino-avx2-2";

    // This processor has AVX2 and FMA and our vector code is not held below that level.
    static bool available();
    // Channel counts whole 8-channel blocks, the layout it reads and writes.
    static bool fits(int64_t inChannels, int64_t outChannels);

    // `threads`: the most threads a run may use (each takes its own share of the scratchpad).
    // `tilesPerBlock` 0 picks the block size from the channel counts. `outputTile`: 4 for
    // F(4×4, 3×3), 6 for F(6×6, 3×3), 0 to choose by the image's size.
    WinogradConvolution(const Params& params, int threads, int tilesPerBlock = 0, int outputTile = 0);

    // Floats in the transformed weights.
    size_t transformedWeightCount() const;
    // OIHW 3×3 weights into the kernel's layout (transformedWeightCount() floats, 32-byte aligned).
    void transformWeights(const float* oihw, float* transformed) const;
    size_t scratchpadBytes() const;
    int tilesPerBlock() const { return tilesPerBlock_; }
    int outputTile() const { return outputTile_; }

    // `source` and `destination` are nChw8c, 32-byte aligned; `residual` only with Residual::add;
    // `bias` may be null.
    void execute(const float* source, float* destination, const float* residual, const float* transformed,
                 const float* bias, std::byte* scratchpad) const;

private:
    void runBlock(int64_t firstTile, int64_t tiles, const float* source, float* destination, const float* residual,
                  const float* transformed, const float* bias, float* scratch) const;
    size_t threadScratchFloats() const;

    Params params_;
    int threads_;
    int outputTile_, positions_;
    int tilesPerBlock_;
    int64_t tilesX_, tilesY_;
};

} // namespace pelorin::inference

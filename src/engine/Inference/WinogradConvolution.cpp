#include "engine/Inference/WinogradConvolution.h"
#include "engine/Common/CpuFeatures.h"

#include <immintrin.h>
#include <omp.h>

#include <algorithm>

// The vector code is compiled for AVX2 and FMA function by function, so the rest of the engine
// stays at the x86-64 baseline; available() guards every call.
#define PELORIN_AVX2 __attribute__((target("avx2,fma")))
#define PELORIN_AVX2_INLINE __attribute__((target("avx2,fma"), always_inline)) inline

namespace pelorin::inference {
namespace {

constexpr int64_t block = 8;   // channels per nChw8c block, one AVX2 vector
constexpr int64_t panel = 16;  // output channels per matrix-product panel
constexpr int64_t rowsMax = 6; // tiles per micro-kernel call: 12 accumulators, 2 weight vectors

// B^T d: the input transform of alpha values along one axis, F(4×4, 3×3) (alpha 6) or
// F(6×6, 3×3) (alpha 8, interpolation points 0, ±1, ±2, ±1/2).
template <int alpha>
PELORIN_AVX2_INLINE void inputTransform(const __m256 d[alpha], __m256 r[alpha])
{
    if constexpr (alpha == 6) {
        const __m256 two = _mm256_set1_ps(2.f), four = _mm256_set1_ps(4.f), five = _mm256_set1_ps(5.f);
        r[0] = _mm256_fmadd_ps(four, d[0], _mm256_fnmadd_ps(five, d[2], d[4]));
        r[1] = _mm256_fnmadd_ps(four, _mm256_add_ps(d[1], d[2]), _mm256_add_ps(d[3], d[4]));
        r[2] = _mm256_fmadd_ps(four, _mm256_sub_ps(d[1], d[2]), _mm256_sub_ps(d[4], d[3]));
        r[3] = _mm256_fmadd_ps(two, _mm256_sub_ps(d[3], d[1]), _mm256_sub_ps(d[4], d[2]));
        r[4] = _mm256_fmadd_ps(two, _mm256_sub_ps(d[1], d[3]), _mm256_sub_ps(d[4], d[2]));
        r[5] = _mm256_fmadd_ps(four, d[1], _mm256_fnmadd_ps(five, d[3], d[5]));
    } else {
        const __m256 c525 = _mm256_set1_ps(5.25f), c425 = _mm256_set1_ps(4.25f), c25 = _mm256_set1_ps(2.5f),
                     c125 = _mm256_set1_ps(1.25f), quarter = _mm256_set1_ps(0.25f), half = _mm256_set1_ps(0.5f),
                     two = _mm256_set1_ps(2.f), four = _mm256_set1_ps(4.f);
        r[0] = _mm256_fmadd_ps(c525, _mm256_sub_ps(d[4], d[2]), _mm256_sub_ps(d[0], d[6]));
        r[7] = _mm256_fmadd_ps(c525, _mm256_sub_ps(d[3], d[5]), _mm256_sub_ps(d[7], d[1]));
        const __m256 t1 = _mm256_fnmadd_ps(c425, d[4], _mm256_add_ps(d[2], d[6]));
        const __m256 t2 = _mm256_fnmadd_ps(c425, d[3], _mm256_add_ps(d[1], d[5]));
        r[1] = _mm256_add_ps(t1, t2);
        r[2] = _mm256_sub_ps(t1, t2);
        const __m256 t3 = _mm256_fnmadd_ps(c125, d[4], _mm256_fmadd_ps(quarter, d[2], d[6]));
        const __m256 t4 = _mm256_fmadd_ps(two, d[5], _mm256_fnmadd_ps(c25, d[3], _mm256_mul_ps(half, d[1])));
        r[3] = _mm256_add_ps(t3, t4);
        r[4] = _mm256_sub_ps(t3, t4);
        const __m256 t5 = _mm256_fmadd_ps(four, _mm256_fnmadd_ps(c125, d[4], d[2]), d[6]);
        const __m256 t6 = _mm256_fmadd_ps(half, d[5], _mm256_fnmadd_ps(c25, d[3], _mm256_mul_ps(two, d[1])));
        r[5] = _mm256_add_ps(t5, t6);
        r[6] = _mm256_sub_ps(t5, t6);
    }
}

// A^T m: the output transform of alpha values into alpha − 2.
template <int alpha>
PELORIN_AVX2_INLINE void outputTransform(const __m256 m[alpha], __m256 o[alpha - 2])
{
    const __m256 sum12 = _mm256_add_ps(m[1], m[2]), diff12 = _mm256_sub_ps(m[1], m[2]);
    const __m256 sum34 = _mm256_add_ps(m[3], m[4]), diff34 = _mm256_sub_ps(m[3], m[4]);
    if constexpr (alpha == 6) {
        o[0] = _mm256_add_ps(_mm256_add_ps(m[0], sum12), sum34);
        o[1] = _mm256_fmadd_ps(_mm256_set1_ps(2.f), diff34, diff12);
        o[2] = _mm256_fmadd_ps(_mm256_set1_ps(4.f), sum34, sum12);
        o[3] = _mm256_add_ps(_mm256_fmadd_ps(_mm256_set1_ps(8.f), diff34, diff12), m[5]);
    } else {
        const __m256 sum56 = _mm256_add_ps(m[5], m[6]), diff56 = _mm256_sub_ps(m[5], m[6]);
        o[0] = _mm256_add_ps(_mm256_add_ps(m[0], sum12), _mm256_add_ps(sum34, sum56));
        o[1] = _mm256_fmadd_ps(_mm256_set1_ps(0.5f), diff56, _mm256_fmadd_ps(_mm256_set1_ps(2.f), diff34, diff12));
        o[2] = _mm256_fmadd_ps(_mm256_set1_ps(0.25f), sum56, _mm256_fmadd_ps(_mm256_set1_ps(4.f), sum34, sum12));
        o[3] = _mm256_fmadd_ps(_mm256_set1_ps(0.125f), diff56, _mm256_fmadd_ps(_mm256_set1_ps(8.f), diff34, diff12));
        o[4] = _mm256_fmadd_ps(_mm256_set1_ps(0.0625f), sum56, _mm256_fmadd_ps(_mm256_set1_ps(16.f), sum34, sum12));
        o[5] = _mm256_add_ps(
            _mm256_fmadd_ps(_mm256_set1_ps(0.03125f), diff56, _mm256_fmadd_ps(_mm256_set1_ps(32.f), diff34, diff12)),
            m[7]);
    }
}

// One channel block of one tile's alpha × alpha input window into v[position] (`stride` floats
// apart). Outside the source is the convolution's zero padding.
template <int alpha>
PELORIN_AVX2_INLINE void transformTileInput(const float* plane, int64_t height, int64_t width, int64_t y0, int64_t x0,
                                            float* v, int64_t stride)
{
    const bool inside = y0 >= 0 && x0 >= 0 && y0 + alpha <= height && x0 + alpha <= width;
    __m256 d[alpha][alpha], w[alpha][alpha];
    for (int i = 0; i < alpha; ++i)
        for (int j = 0; j < alpha; ++j) {
            const int64_t y = y0 + i, x = x0 + j;
            d[j][i] = inside || (y >= 0 && y < height && x >= 0 && x < width)
                ? _mm256_load_ps(plane + (y * width + x) * block)
                : _mm256_setzero_ps();
        }
    for (int j = 0; j < alpha; ++j)
        inputTransform<alpha>(d[j], w[j]); // w[j][r]: column j through B^T
    for (int r = 0; r < alpha; ++r) {
        __m256 row[alpha], out[alpha];
        for (int j = 0; j < alpha; ++j)
            row[j] = w[j][r];
        inputTransform<alpha>(row, out);
        for (int c = 0; c < alpha; ++c)
            _mm256_store_ps(v + (r * alpha + c) * stride, out[c]);
    }
}

// A block of tiles into v[position][channel block][tile][8]: each position's channel block is one
// contiguous run, written and read in order. Channel block by channel block, so that the reads run
// along the rows of one source plane at a time.
template <int alpha>
PELORIN_AVX2 void transformInput(const float* source, int64_t channels, int64_t height, int64_t width,
                                 int64_t firstTile, int64_t tiles, int64_t tilesX, int64_t padTop, int64_t padLeft,
                                 float* v)
{
    constexpr int64_t tile = alpha - 2;
    const int64_t stride = tiles * channels;
    for (int64_t cb = 0; cb < channels / block; ++cb) {
        const float* plane = source + cb * height * width * block;
        for (int64_t t = 0; t < tiles; ++t) {
            const int64_t ty = (firstTile + t) / tilesX, tx = (firstTile + t) % tilesX;
            transformTileInput<alpha>(plane, height, width, ty * tile - padTop, tx * tile - padLeft,
                                      v + (cb * tiles + t) * block, stride);
        }
    }
}

// rows × width of M = V·U for one transform position. V and M hold their channels in blocks of 8,
// `blockStride` floats apart (one block's tiles); U is a depth × width panel.
template <int rows, int width>
PELORIN_AVX2 void multiplyPanel(const float* v, const float* u, int64_t depth, float* m, int64_t blockStride)
{
    __m256 low[rows], high[rows];
#pragma GCC unroll 6
    for (int r = 0; r < rows; ++r)
        low[r] = high[r] = _mm256_setzero_ps();
    for (int64_t kb = 0; kb < depth; kb += block, v += blockStride)
        for (int64_t k = 0; k < block; ++k, u += width) {
            const __m256 u0 = _mm256_load_ps(u);
            const __m256 u1 = width == 16 ? _mm256_load_ps(u + 8) : u0;
#pragma GCC unroll 6
            for (int r = 0; r < rows; ++r) {
                const __m256 a = _mm256_broadcast_ss(v + r * block + k);
                low[r] = _mm256_fmadd_ps(a, u0, low[r]);
                if (width == 16)
                    high[r] = _mm256_fmadd_ps(a, u1, high[r]);
            }
        }
#pragma GCC unroll 6
    for (int r = 0; r < rows; ++r) {
        _mm256_store_ps(m + r * block, low[r]);
        if (width == 16)
            _mm256_store_ps(m + blockStride + r * block, high[r]);
    }
}

template <int width>
void multiplyRows(int rows, const float* v, const float* u, int64_t depth, float* m, int64_t blockStride)
{
    switch (rows) {
    case 1: multiplyPanel<1, width>(v, u, depth, m, blockStride); break;
    case 2: multiplyPanel<2, width>(v, u, depth, m, blockStride); break;
    case 3: multiplyPanel<3, width>(v, u, depth, m, blockStride); break;
    case 4: multiplyPanel<4, width>(v, u, depth, m, blockStride); break;
    case 5: multiplyPanel<5, width>(v, u, depth, m, blockStride); break;
    default: multiplyPanel<6, width>(v, u, depth, m, blockStride); break;
    }
}

struct Epilogue {
    const float* bias;
    bool relu;
    WinogradConvolution::Residual residual;
};

// One channel block of one tile's alpha² products back to its outputs, with the epilogue.
template <int alpha>
PELORIN_AVX2_INLINE void transformTileOutput(const float* m, int64_t stride, float* plane, const float* residualPlane,
                                             int64_t height, int64_t width, int64_t y0, int64_t x0, __m256 bias,
                                             const Epilogue& epilogue)
{
    constexpr int tile = alpha - 2;
    const int64_t rows = std::min<int64_t>(tile, height - y0), cols = std::min<int64_t>(tile, width - x0);
    __m256 q[alpha][tile]; // q[column][row]
    for (int j = 0; j < alpha; ++j) {
        __m256 column[alpha];
        for (int i = 0; i < alpha; ++i)
            column[i] = _mm256_load_ps(m + (i * alpha + j) * stride);
        outputTransform<alpha>(column, q[j]);
    }
    for (int64_t r = 0; r < rows; ++r) {
        __m256 row[alpha], out[tile];
        for (int j = 0; j < alpha; ++j)
            row[j] = q[j][r];
        outputTransform<alpha>(row, out);
        for (int64_t c = 0; c < cols; ++c) {
            const int64_t at = ((y0 + r) * width + x0 + c) * block;
            __m256 value = _mm256_add_ps(out[c], bias);
            if (epilogue.relu)
                value = _mm256_max_ps(value, _mm256_setzero_ps());
            if (epilogue.residual == WinogradConvolution::Residual::accumulate)
                value = _mm256_add_ps(value, _mm256_load_ps(plane + at));
            else if (epilogue.residual == WinogradConvolution::Residual::add)
                value = _mm256_add_ps(value, _mm256_load_ps(residualPlane + at));
            _mm256_store_ps(plane + at, value);
        }
    }
}

// A block's products m[position][channel block][tile][8] into the destination, channel block by
// channel block so that the writes run along the rows of one plane at a time.
template <int alpha>
PELORIN_AVX2 void transformOutput(const float* m, int64_t channels, float* destination, const float* residual,
                                  int64_t height, int64_t width, int64_t firstTile, int64_t tiles, int64_t tilesX,
                                  const Epilogue& epilogue)
{
    constexpr int64_t tile = alpha - 2;
    const int64_t stride = tiles * channels;
    for (int64_t kb = 0; kb < channels / block; ++kb) {
        const int64_t planeOffset = kb * height * width * block;
        const __m256 bias = epilogue.bias ? _mm256_loadu_ps(epilogue.bias + kb * block) : _mm256_setzero_ps();
        for (int64_t t = 0; t < tiles; ++t) {
            const int64_t ty = (firstTile + t) / tilesX, tx = (firstTile + t) % tilesX;
            transformTileOutput<alpha>(m + (kb * tiles + t) * block, stride, destination + planeOffset,
                                       residual ? residual + planeOffset : nullptr, height, width, ty * tile, tx * tile,
                                       bias, epilogue);
        }
    }
}

// F(6×6, 3×3) does 21 % fewer multiplications and moves less data per output than F(4×4, 3×3),
// but on small images its larger tiles overhang the edge: measured on the model's convolutions at
// AVX2, it is 5–10 % faster from 128 pixels a side and 2–50 % slower below 64.
int chooseOutputTile(const WinogradConvolution::Params& params, int requested)
{
    if (requested == 4 || requested == 6)
        return requested;
    return std::min(params.outHeight, params.outWidth) >= 128 ? 6 : 4;
}

constexpr size_t roundUp(size_t value, size_t multiple)
{
    return (value + multiple - 1) / multiple * multiple;
}

} // namespace

bool WinogradConvolution::available()
{
    return cpuHasAvx2Fma();
}

bool WinogradConvolution::fits(int64_t inChannels, int64_t outChannels)
{
    return inChannels > 0 && outChannels > 0 && inChannels % block == 0 && outChannels % block == 0;
}

WinogradConvolution::WinogradConvolution(const Params& params, int threads, int tilesPerBlock, int outputTile)
    : params_(params),
      threads_(std::max(1, threads)),
      outputTile_(chooseOutputTile(params, outputTile)),
      positions_((outputTile_ + 2) * (outputTile_ + 2)),
      tilesX_((params.outWidth + outputTile_ - 1) / outputTile_),
      tilesY_((params.outHeight + outputTile_ - 1) / outputTile_)
{
    const int64_t channels = params.inChannels + params.outChannels;
    const int64_t tiles = tilesX_ * tilesY_;
    if (tilesPerBlock <= 0) {
        // A block's transformed input and products within about half of a core's L2; but when the
        // transformed weights outgrow L2 they are streamed once per block, so blocks grow to keep
        // that traffic below the arithmetic.
        int64_t chosen = (512 * 1024) / (positions_ * channels * int64_t(sizeof(float)));
        if (positions_ * params.inChannels * params.outChannels * int64_t(sizeof(float)) > (int64_t{1} << 20))
            chosen = std::max<int64_t>(chosen, 48);
        chosen = std::clamp<int64_t>(chosen, rowsMax, 144);
        // Every thread gets blocks when the layer is small.
        const int64_t share = (tiles + threads_ - 1) / threads_;
        tilesPerBlock = int(std::max<int64_t>(1, std::min(chosen, share)));
    }
    tilesPerBlock_ = tilesPerBlock;
}

size_t WinogradConvolution::transformedWeightCount() const
{
    return size_t(positions_ * params_.outChannels * params_.inChannels);
}

size_t WinogradConvolution::threadScratchFloats() const
{
    const size_t tiles = size_t(tilesPerBlock_), positions = size_t(positions_);
    return roundUp(positions * tiles * size_t(params_.inChannels), 16)
        + roundUp(positions * tiles * size_t(params_.outChannels), 16);
}

size_t WinogradConvolution::scratchpadBytes() const
{
    return size_t(threads_) * threadScratchFloats() * sizeof(float);
}

void WinogradConvolution::transformWeights(const float* oihw, float* transformed) const
{
    // G of each tile size: rows are the interpolation points.
    static constexpr double g4[6][3] = {{1.0 / 4, 0, 0},
                                        {-1.0 / 6, -1.0 / 6, -1.0 / 6},
                                        {-1.0 / 6, 1.0 / 6, -1.0 / 6},
                                        {1.0 / 24, 1.0 / 12, 1.0 / 6},
                                        {1.0 / 24, -1.0 / 12, 1.0 / 6},
                                        {0, 0, 1}};
    static constexpr double g6[8][3] = {{1, 0, 0},
                                        {-2.0 / 9, -2.0 / 9, -2.0 / 9},
                                        {-2.0 / 9, 2.0 / 9, -2.0 / 9},
                                        {1.0 / 90, 1.0 / 45, 2.0 / 45},
                                        {1.0 / 90, -1.0 / 45, 2.0 / 45},
                                        {32.0 / 45, 16.0 / 45, 8.0 / 45},
                                        {32.0 / 45, -16.0 / 45, 8.0 / 45},
                                        {0, 0, 1}};
    const int alpha = outputTile_ + 2;
    const double(*g)[3] = outputTile_ == 6 ? g6 : g4;
    const int64_t inChannels = params_.inChannels, outChannels = params_.outChannels;
    const int64_t positionStride = inChannels * outChannels;
    for (int64_t k = 0; k < outChannels; ++k) {
        const int64_t first = k / panel * panel, width = std::min(panel, outChannels - first);
        for (int64_t c = 0; c < inChannels; ++c) {
            const float* kernel = oihw + (k * inChannels + c) * 9;
            double half[8][3]; // G · kernel
            for (int i = 0; i < alpha; ++i)
                for (int j = 0; j < 3; ++j)
                    half[i][j] = g[i][0] * kernel[j] + g[i][1] * kernel[3 + j] + g[i][2] * kernel[6 + j];
            for (int i = 0; i < alpha; ++i)
                for (int j = 0; j < alpha; ++j) {
                    const double u = half[i][0] * g[j][0] + half[i][1] * g[j][1] + half[i][2] * g[j][2];
                    transformed[(i * alpha + j) * positionStride + first * inChannels + c * width + (k - first)] =
                        float(u);
                }
        }
    }
}

void WinogradConvolution::runBlock(int64_t firstTile, int64_t tiles, const float* source, float* destination,
                                   const float* residual, const float* transformed, const float* bias,
                                   float* scratch) const
{
    const int64_t inChannels = params_.inChannels, outChannels = params_.outChannels;
    float* v = scratch;
    float* m = scratch + roundUp(size_t(positions_) * size_t(tilesPerBlock_) * size_t(inChannels), 16);
    const int64_t vStride = tiles * inChannels, mStride = tiles * outChannels;

    if (outputTile_ == 6)
        transformInput<8>(source, inChannels, params_.height, params_.width, firstTile, tiles, tilesX_, params_.padTop,
                          params_.padLeft, v);
    else
        transformInput<6>(source, inChannels, params_.height, params_.width, firstTile, tiles, tilesX_, params_.padTop,
                          params_.padLeft, v);
    for (int position = 0; position < positions_; ++position) {
        const float* vp = v + position * vStride;
        const float* up = transformed + position * inChannels * outChannels;
        float* mp = m + position * mStride;
        for (int64_t first = 0; first < outChannels; first += panel) {
            const float* u = up + first * inChannels;
            for (int64_t row = 0; row < tiles; row += rowsMax) {
                const int rows = int(std::min(rowsMax, tiles - row));
                float* out = mp + (first * tiles + row * block);
                if (outChannels - first >= panel)
                    multiplyRows<16>(rows, vp + row * block, u, inChannels, out, tiles * block);
                else
                    multiplyRows<8>(rows, vp + row * block, u, inChannels, out, tiles * block);
            }
        }
    }
    const Epilogue epilogue{bias, params_.relu, params_.residual};
    if (outputTile_ == 6)
        transformOutput<8>(m, outChannels, destination, residual, params_.outHeight, params_.outWidth, firstTile, tiles,
                           tilesX_, epilogue);
    else
        transformOutput<6>(m, outChannels, destination, residual, params_.outHeight, params_.outWidth, firstTile, tiles,
                           tilesX_, epilogue);
}

void WinogradConvolution::execute(const float* source, float* destination, const float* residual,
                                  const float* transformed, const float* bias, std::byte* scratchpad) const
{
    const int64_t tiles = tilesX_ * tilesY_;
    const int64_t blocks = (tiles + tilesPerBlock_ - 1) / tilesPerBlock_;
    float* scratch = reinterpret_cast<float*>(scratchpad);
    const int threads = int(std::min<int64_t>({threads_, omp_get_max_threads(), blocks}));
    // Round robin: the threads work on neighbouring blocks, whose source rows overlap, at the same
    // time (measured 15–20 % faster than taking blocks as they come).
#pragma omp parallel for num_threads(threads) schedule(static, 1)
    for (int64_t b = 0; b < blocks; ++b) {
        const int64_t first = b * tilesPerBlock_;
        runBlock(first, std::min<int64_t>(tilesPerBlock_, tiles - first), source, destination, residual, transformed,
                 bias, scratch + size_t(omp_get_thread_num()) * threadScratchFloats());
    }
}

} // namespace pelorin::inference

#include "engine/Inference/ReferenceOps.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>

namespace pelorin::test {

Tensor4 referenceConv(const Tensor4& x, const std::vector<float>& weights, const std::vector<float>& bias,
                      int64_t outChannels, const ConvSpec& s)
{
    const int64_t inC = x.dims[1], inH = x.dims[2], inW = x.dims[3];
    const int64_t outH = (inH + s.padTop + s.padBottom - s.dilationH * (s.kernelH - 1) - 1) / s.strideH + 1;
    const int64_t outW = (inW + s.padLeft + s.padRight - s.dilationW * (s.kernelW - 1) - 1) / s.strideW + 1;
    Tensor4 y({x.dims[0], outChannels, outH, outW});
    for (int64_t n = 0; n < x.dims[0]; ++n)
        for (int64_t o = 0; o < outChannels; ++o)
            for (int64_t oy = 0; oy < outH; ++oy)
                for (int64_t ox = 0; ox < outW; ++ox) {
                    double sum = bias.empty() ? 0.0 : bias[size_t(o)];
                    for (int64_t i = 0; i < inC; ++i)
                        for (int64_t ky = 0; ky < s.kernelH; ++ky)
                            for (int64_t kx = 0; kx < s.kernelW; ++kx) {
                                const int64_t iy = oy * s.strideH - s.padTop + ky * s.dilationH;
                                const int64_t ix = ox * s.strideW - s.padLeft + kx * s.dilationW;
                                if (iy < 0 || iy >= inH || ix < 0 || ix >= inW)
                                    continue; // zero padding
                                sum += double(x.at(n, i, iy, ix)) *
                                       weights[size_t(((o * inC + i) * s.kernelH + ky) * s.kernelW + kx)];
                            }
                    y.at(n, o, oy, ox) = float(sum);
                }
    return y;
}

Tensor4 referenceRelu(Tensor4 x)
{
    std::ranges::for_each(x.data, [](float& v) { v = std::max(v, 0.f); });
    return x;
}

Tensor4 referenceSigmoid(Tensor4 x)
{
    std::ranges::for_each(x.data, [](float& v) { v = float(1.0 / (1.0 + std::exp(-double(v)))); });
    return x;
}

Tensor4 referenceAdd(Tensor4 a, const Tensor4& b)
{
    std::ranges::transform(a.data, b.data, a.data.begin(), std::plus<>());
    return a;
}

Tensor4 referenceConcatChannels(const std::vector<Tensor4>& inputs)
{
    // N is 1, so each input is one contiguous run of channel planes.
    Tensor4 y = inputs.front();
    for (size_t i = 1; i < inputs.size(); ++i) {
        y.dims[1] += inputs[i].dims[1];
        y.data.insert(y.data.end(), inputs[i].data.begin(), inputs[i].data.end());
    }
    return y;
}

Tensor4 referenceMaxPool(const Tensor4& x, int64_t kernel, int64_t stride, bool ceilMode)
{
    auto outSize = [&](int64_t in) {
        const double exact = double(in - kernel) / double(stride);
        int64_t out = int64_t(ceilMode ? std::ceil(exact) : std::floor(exact)) + 1;
        if (ceilMode && (out - 1) * stride >= in)
            --out;
        return out;
    };
    Tensor4 y({x.dims[0], x.dims[1], outSize(x.dims[2]), outSize(x.dims[3])});
    for (int64_t n = 0; n < y.dims[0]; ++n)
        for (int64_t c = 0; c < y.dims[1]; ++c)
            for (int64_t oy = 0; oy < y.dims[2]; ++oy)
                for (int64_t ox = 0; ox < y.dims[3]; ++ox) {
                    float best = -std::numeric_limits<float>::infinity();
                    for (int64_t ky = 0; ky < kernel; ++ky)
                        for (int64_t kx = 0; kx < kernel; ++kx) {
                            const int64_t iy = oy * stride + ky, ix = ox * stride + kx;
                            if (iy < x.dims[2] && ix < x.dims[3])
                                best = std::max(best, x.at(n, c, iy, ix));
                        }
                    y.at(n, c, oy, ox) = best;
                }
    return y;
}

Tensor4 referenceResizeLinear(const Tensor4& x, int64_t outH, int64_t outW)
{
    Tensor4 y({x.dims[0], x.dims[1], outH, outW});
    // half_pixel: x_original = (x_resized + 0.5) / scale - 0.5 with scale = out / in; samples
    // outside the input repeat the edge.
    auto source = [](int64_t o, int64_t in, int64_t out, int64_t& i0, int64_t& i1, double& t) {
        double pos = (double(o) + 0.5) * double(in) / double(out) - 0.5;
        pos = std::clamp(pos, 0.0, double(in - 1));
        i0 = int64_t(std::floor(pos));
        i1 = std::min(i0 + 1, in - 1);
        t = pos - double(i0);
    };
    for (int64_t n = 0; n < y.dims[0]; ++n)
        for (int64_t c = 0; c < y.dims[1]; ++c)
            for (int64_t oy = 0; oy < outH; ++oy)
                for (int64_t ox = 0; ox < outW; ++ox) {
                    int64_t y0, y1, x0, x1;
                    double ty, tx;
                    source(oy, x.dims[2], outH, y0, y1, ty), source(ox, x.dims[3], outW, x0, x1, tx);
                    const double top = x.at(n, c, y0, x0) * (1 - tx) + x.at(n, c, y0, x1) * tx;
                    const double bottom = x.at(n, c, y1, x0) * (1 - tx) + x.at(n, c, y1, x1) * tx;
                    y.at(n, c, oy, ox) = float(top * (1 - ty) + bottom * ty);
                }
    return y;
}

std::vector<float> seededValues(size_t count, uint32_t seed, float low, float high)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> distribution(low, high);
    std::vector<float> values(count);
    std::ranges::generate(values, [&] { return distribution(generator); });
    return values;
}

} // namespace pelorin::test

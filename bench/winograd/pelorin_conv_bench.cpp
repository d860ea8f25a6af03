// Per-convolution timing of the model's undilated 3×3 convolutions at 1024×1024: oneDNN's direct
// kernel, oneDNN's Winograd kernel where the CPU level has one, and our Winograd kernel, each on the
// model's own weights, a seeded random input, and the epilogue the model gives it (bias, ReLU,
// residual add). Driven by bench/winograd/run; ONEDNN_MAX_CPU_ISA sets oneDNN's level.
//
//   pelorin_conv_bench <model.onnx> [--runs N] [--tiles T] [--side S] [--tile 4|6]
// --side keeps the convolutions of one spatial size; --tiles forces our block size; --tile 4 or 6
// forces F(4×4, 3×3) or F(6×6, 3×3) (by default chosen by size).
// Prints one row per convolution and the totals; max |diff| is ours against oneDNN's direct.
#include "engine/Inference/ComputeGraph.h"
#include "engine/Inference/OnnxGraph.h"
#include "engine/Inference/WinogradConvolution.h"

#include <oneapi/dnnl/dnnl.hpp>
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

using namespace pelorin::inference;
using dnnl::memory;
using tag = memory::format_tag;
using dt = memory::data_type;

namespace {

struct Shape {
    int64_t in, out, side;
    bool relu, residual;
    const ComputeOp* op;
};

double medianMs(const std::function<void()>& run, int runs)
{
    run(); // warm-up
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

struct Buffer {
    float* data = nullptr;
    size_t size = 0;
    explicit Buffer(size_t floats)
        : data(static_cast<float*>(::operator new (floats * sizeof(float), std::align_val_t{64}))),
          size(floats)
    {
        std::fill(data, data + size, 0.f);
    }
    ~Buffer() { ::operator delete (data, std::align_val_t{64}); }
    Buffer(const Buffer&) = delete;
};

// oneDNN's convolution for `shape` with `algorithm`, on nChw8c tensors; empty when it has none.
std::optional<dnnl::convolution_forward::primitive_desc> onednn(const dnnl::engine& engine, const Shape& s,
                                                                dnnl::algorithm algorithm, tag layout)
{
    const memory::dims data{1, s.in, s.side, s.side}, result{1, s.out, s.side, s.side};
    dnnl::post_ops ops;
    if (s.relu)
        ops.append_eltwise(1.f, dnnl::algorithm::eltwise_relu, 0.f, 0.f);
    if (s.residual)
        ops.append_binary(dnnl::algorithm::binary_add, memory::desc(result, dt::f32, layout));
    dnnl::primitive_attr attr;
    attr.set_post_ops(ops);
    try {
        dnnl::convolution_forward::desc desc(
            dnnl::prop_kind::forward_inference, algorithm, memory::desc(data, dt::f32, layout),
            memory::desc({s.out, s.in, 3, 3}, dt::f32, tag::any), memory::desc({s.out}, dt::f32, tag::a),
            memory::desc(result, dt::f32, layout), {1, 1}, {0, 0}, {1, 1}, {1, 1});
        return dnnl::convolution_forward::primitive_desc(desc, attr, engine);
    } catch (const dnnl::error&) {
        return std::nullopt;
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: pelorin_conv_bench <model.onnx> [--runs N] [--tiles T] [--side S] [--tile 4|6]\n");
        return 2;
    }
    int runs = 5, tiles = 0, outputTile = 0;
    int64_t onlySide = 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--runs")
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--tiles")
            tiles = std::atoi(argv[i + 1]);
        else if (option == "--tile")
            outputTile = std::atoi(argv[i + 1]);
        else if (option == "--side")
            onlySide = std::atoi(argv[i + 1]);
    }
    auto parsed = OnnxGraph::parse(argv[1]);
    if (!parsed) {
        std::fprintf(stderr, "%s\n", parsed.error().c_str());
        return 1;
    }
    auto graph = ComputeGraph::build(*parsed, 1024, 1024);
    if (!graph) {
        std::fprintf(stderr, "%s\n", graph.error().c_str());
        return 1;
    }
    std::vector<Shape> shapes;
    for (const ComputeOp& op : graph->ops) {
        const auto& p = op.convolution;
        if (op.kind != OpKind::convolution || p.kernel != std::array<int64_t, 2>{3, 3}
            || p.stride != std::array<int64_t, 2>{1, 1} || p.dilation != std::array<int64_t, 2>{1, 1})
            continue;
        const Dims& in = graph->values[size_t(op.inputs[0])].dims;
        if (!WinogradConvolution::fits(p.weights->dims[1], p.weights->dims[0]) || in[2] != in[3]
            || (onlySide && in[2] != onlySide))
            continue;
        const auto& consumers = graph->values[size_t(op.output)].consumers;
        const bool relu = consumers.size() == 1 && graph->ops[size_t(consumers[0])].kind == OpKind::relu;
        bool residual = false;
        if (relu) {
            const auto& next = graph->values[size_t(graph->ops[size_t(consumers[0])].output)].consumers;
            residual = next.size() == 1 && graph->ops[size_t(next[0])].kind == OpKind::add;
        }
        shapes.push_back({p.weights->dims[1], p.weights->dims[0], in[2], relu, residual, &op});
    }

    dnnl::engine engine(dnnl::engine::kind::cpu, 0);
    dnnl::stream stream(engine);
    const int threads = omp_get_max_threads();
    std::mt19937 random(7);
    std::uniform_real_distribution<float> uniform(-1.f, 1.f);
    std::printf("oneDNN level: %d; threads: %d; runs: %d\n", int(dnnl::get_effective_cpu_isa()), threads, runs);
    std::printf("%-7s %-9s %-5s %10s %10s %10s %8s %11s\n", "in→out", "side", "epi", "direct ms", "dnnl-wino",
                "ours ms", "speed-up", "max |diff|");
    double totalDirect = 0, totalOurs = 0, totalWino = 0, worst = 0;
    bool winoEverywhere = true;
    for (const Shape& s : shapes) {
        const size_t inFloats = size_t(s.in * s.side * s.side), outFloats = size_t(s.out * s.side * s.side);
        Buffer source(inFloats), residual(outFloats), direct(outFloats), ours(outFloats);
        for (size_t i = 0; i < inFloats; ++i)
            source.data[i] = uniform(random);
        for (size_t i = 0; i < outFloats; ++i)
            residual.data[i] = uniform(random);
        const float* weights = s.op->convolution.weights->floats.data();
        const float* bias = s.op->convolution.bias ? s.op->convolution.bias->floats.data() : nullptr;
        std::vector<float> zeros(size_t(s.out), 0.f);

        auto timeOnednn = [&](dnnl::algorithm algorithm, float* into) -> double {
            auto pd = onednn(engine, s, algorithm, tag::nChw8c);
            if (!pd && algorithm == dnnl::algorithm::convolution_winograd) // AVX-512's wants 16-channel blocks
                pd = onednn(engine, s, algorithm, tag::nChw16c);
            if (!pd)
                return -1;
            memory plainWeights({{s.out, s.in, 3, 3}, dt::f32, tag::oihw}, engine, const_cast<float*>(weights));
            memory w(pd->weights_desc(), engine);
            dnnl::reorder(plainWeights, w).execute(stream, plainWeights, w);
            memory b(pd->bias_desc(), engine, bias ? const_cast<float*>(bias) : zeros.data());
            memory src(pd->src_desc(), engine, source.data), dst(pd->dst_desc(), engine, into);
            memory other(pd->dst_desc(), engine, residual.data);
            memory scratch(pd->scratchpad_desc(), engine);
            dnnl::convolution_forward conv(*pd);
            std::unordered_map<int, memory> args{{DNNL_ARG_SRC, src},
                                                 {DNNL_ARG_WEIGHTS, w},
                                                 {DNNL_ARG_BIAS, b},
                                                 {DNNL_ARG_DST, dst},
                                                 {DNNL_ARG_SCRATCHPAD, scratch}};
            if (s.residual)
                args.emplace(DNNL_ARG_ATTR_MULTIPLE_POST_OP(1) | DNNL_ARG_SRC_1, other);
            return medianMs(
                [&] {
                    conv.execute(stream, args);
                    stream.wait();
                },
                runs);
        };
        const double directMs = timeOnednn(dnnl::algorithm::convolution_direct, direct.data);
        Buffer winoBuffer(outFloats);
        const double winoMs = timeOnednn(dnnl::algorithm::convolution_winograd, winoBuffer.data);

        WinogradConvolution::Params params{
            s.in,   s.out,
            s.side, s.side,
            s.side, s.side,
            1,      1,
            s.relu, s.residual ? WinogradConvolution::Residual::add : WinogradConvolution::Residual::none};
        WinogradConvolution kernel(params, threads, tiles, outputTile);
        Buffer transformed(kernel.transformedWeightCount());
        kernel.transformWeights(weights, transformed.data);
        Buffer scratch(kernel.scratchpadBytes() / sizeof(float) + 16);
        const double oursMs = medianMs(
            [&] {
                kernel.execute(source.data, ours.data, residual.data, transformed.data, bias,
                               reinterpret_cast<std::byte*>(scratch.data));
            },
            runs);
        double maxDiff = 0;
        for (size_t i = 0; i < outFloats; ++i)
            maxDiff = std::max(maxDiff, double(std::fabs(ours.data[i] - direct.data[i])));
        worst = std::max(worst, maxDiff);
        totalDirect += directMs;
        totalOurs += oursMs;
        if (winoMs >= 0)
            totalWino += winoMs;
        else
            winoEverywhere = false;
        char epilogue[8];
        std::snprintf(epilogue, sizeof epilogue, "%s%s", s.relu ? "r" : "", s.residual ? "+a" : "");
        char wino[16] = "-";
        if (winoMs >= 0)
            std::snprintf(wino, sizeof wino, "%.2f", winoMs);
        std::printf("%4lld→%-4lld %4lld²  %-5s %10.2f %10s %10.2f %7.2fx %11.2e  (T=%d)\n", (long long)s.in,
                    (long long)s.out, (long long)s.side, epilogue, directMs, wino, oursMs, directMs / oursMs, maxDiff,
                    kernel.tilesPerBlock());
    }
    std::printf("total over %zu convolutions: direct %.1f ms, ours %.1f ms (%.2fx)", shapes.size(), totalDirect,
                totalOurs, totalDirect / totalOurs);
    if (winoEverywhere)
        std::printf(", oneDNN Winograd %.1f ms", totalWino);
    std::printf("; worst max |diff| %.2e\n", worst);
    return 0;
}

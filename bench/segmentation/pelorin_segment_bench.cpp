// End-to-end timing of our executor on the segmentation model, for bench/segmentation/run, which
// sets it beside ONNX Runtime on the same input tensor.
//
//   pelorin_segment_bench run <model.onnx> <input.f32> [--runs N] [--reference NAME=output.f32]...
//     Loads the model, runs it once to warm up, then N times (≥ 5); prints key=value lines: load
//     time, every run, median ms, GFLOP/s at 319 GFLOP per run, peak RSS (getrusage), the max
//     and mean absolute difference of our output against each reference output, and what an
//     input at a misaligned address costs (median of N such runs, and of the copy it needs).
//   pelorin_segment_bench fp32 <model-fp16.onnx>
//     Prints the path of the all-fp32 conversion of the model (made once, cached beside it).
//
// Tensors are raw float32 little-endian: input 1×3×1024×1024 NCHW, output 1×1×1024×1024.
#include "engine/Inference/Network.h"
#include "engine/Inference/PrecisionPolicy.h"
#include "engine/Inference/Fp32ModelConverter.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr double gflopPerRun = 319.0;
constexpr size_t side = 1024;

bool readFloats(const std::string& file, size_t count, std::vector<float>& values)
{
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    if (!in || static_cast<size_t>(in.tellg()) != count * sizeof(float)) {
        std::fprintf(stderr, "%s: expected %zu float32 values\n", file.c_str(), count);
        return false;
    }
    values.resize(count);
    in.seekg(0);
    return static_cast<bool>(
        in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(count * sizeof(float))));
}

double peakRssMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0; // ru_maxrss is in KiB on Linux
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: pelorin_segment_bench run <model.onnx> <input.f32> [--runs N] [--reference NAME=file.f32]...\n"
                 "       pelorin_segment_bench fp32 <model-fp16.onnx>\n");
    return 2;
}

int runBench(int argc, char** argv)
{
    if (argc < 4)
        return usage();
    const std::string model = argv[2];
    const std::string inputFile = argv[3];
    int runs = 5;
    std::vector<std::pair<std::string, std::string>> references;
    for (int i = 4; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--runs" && i + 1 < argc) {
            runs = std::atoi(argv[++i]);
        } else if (option == "--reference" && i + 1 < argc) {
            const std::string value = argv[++i];
            const auto equals = value.find('=');
            if (equals == std::string::npos)
                return usage();
            references.emplace_back(value.substr(0, equals), value.substr(equals + 1));
        } else {
            return usage();
        }
    }
    if (runs < 1)
        return usage();

    std::vector<float> values;
    if (!readFloats(inputFile, 3 * side * side, values))
        return 1;
    const pelorin::AlignedFloats input(values.begin(), values.end()); // read in place by the network

    using Clock = std::chrono::steady_clock;
    auto milliseconds = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
    const auto loadStart = Clock::now();
    auto network = pelorin::Network::load(model);
    if (!network) {
        std::fprintf(stderr, "cannot load %s: %s\n", model.c_str(), network.error().c_str());
        return 1;
    }
    std::printf("load_ms=%.1f\n", milliseconds(Clock::now() - loadStart));
    const auto precision = pelorin::inference::resolvePrecision(pelorin::Precision::automatic);
    std::printf("precision=%s\n", precision ? pelorin::precisionName(*precision) : "fp32");

    const auto warmupStart = Clock::now();
    auto output = (*network)->run(input); // first touch of buffers, kernel generation
    if (!output) {
        std::fprintf(stderr, "run failed: %s\n", output.error().c_str());
        return 1;
    }
    std::printf("warmup_ms=%.1f\n", milliseconds(Clock::now() - warmupStart));
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        output = (*network)->run(input);
        times.push_back(milliseconds(Clock::now() - start));
        if (!output) {
            std::fprintf(stderr, "run failed: %s\n", output.error().c_str());
            return 1;
        }
    }
    // The same runs with the input 4 bytes past an aligned address, which the network first copies
    // into aligned storage; and that copy alone.
    pelorin::AlignedFloats room(input.size() + 1);
    std::copy(input.begin(), input.end(), room.begin() + 1);
    const std::span<const float> misaligned(room.data() + 1, input.size());
    std::vector<double> misalignedTimes, copyTimes;
    pelorin::AlignedFloats staged(input.size());
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        if (!(*network)->run(misaligned)) {
            std::fprintf(stderr, "run on a misaligned input failed\n");
            return 1;
        }
        misalignedTimes.push_back(milliseconds(Clock::now() - start));
        const auto copyStart = Clock::now();
        std::copy(misaligned.begin(), misaligned.end(), staged.begin());
        copyTimes.push_back(milliseconds(Clock::now() - copyStart));
    }
    std::printf("misaligned_median_ms=%.1f\ninput_copy_ms=%.2f\n", median(misalignedTimes), median(copyTimes));

    std::printf("runs_ms=");
    for (size_t i = 0; i < times.size(); ++i)
        std::printf("%s%.1f", i ? "," : "", times[i]);
    const double medianMs = median(times);
    std::printf("\nmedian_ms=%.1f\ngflops=%.1f\npeak_rss_mib=%.0f\n", medianMs, gflopPerRun / (medianMs / 1000.0),
                peakRssMiB());

    if (output->size() != side * side) {
        std::fprintf(stderr, "output has %zu values, expected %zu\n", output->size(), side * side);
        return 1;
    }
    for (const auto& [name, file] : references) {
        std::vector<float> reference;
        if (!readFloats(file, side * side, reference))
            return 1;
        double maxDiff = 0, sumDiff = 0;
        for (size_t i = 0; i < reference.size(); ++i) {
            const double diff = std::abs(double((*output)[i]) - double(reference[i]));
            maxDiff = std::isnan(diff) ? HUGE_VAL : std::max(maxDiff, diff); // a NaN must not hide
            sumDiff += diff;
        }
        std::printf("max_diff_%s=%.3g\nmean_diff_%s=%.3g\n", name.c_str(), maxDiff, name.c_str(),
                    sumDiff / reference.size());
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "run") == 0)
        return runBench(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "fp32") == 0) {
        auto converted = pelorin::test::cachedFp32Model(argv[2]);
        if (!converted) {
            std::fprintf(stderr, "%s\n", converted.error().c_str());
            return 1;
        }
        std::printf("%s\n", converted->c_str());
        return 0;
    }
    return usage();
}

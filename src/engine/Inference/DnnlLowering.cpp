// Lowering of a ComputeGraph onto oneDNN primitives.
//
// Layouts: convolutions pick their own (format `any`, which on AVX-512 means nChw16c blocks);
// pooling, resampling, eltwise and binary ops then run on whatever layout their input has, so the
// blocked layout flows end to end and reorders appear only where a primitive cannot take its
// input's layout: the plain NCHW input, a dilated convolution whose fast kernel wants NHWC, and
// tensors of a few channels, which go plain rather than drag 16-channel padding along.
//
// Fusions: a ReLU that is a convolution's only consumer becomes an eltwise post-op. An Add of a
// conv[+ReLU] result and another tensor becomes a sum post-op accumulating into that tensor's
// buffer when it is not read again (Winograd kernels support only this form), or else a binary
// post-op reading it. Unfused ReLU, Sigmoid and Add work in place when their operand dies with
// them. Concatenations along channels of channel-outer layouts are offered to the buffer planner
// as views.
//
// int8: a convolution whose input has a calibrated range reads it quantized by a reorder, to u8
// when it cannot be negative (it comes through a ReLU, and pooling, linear resizing, concatenation
// and addition keep that), else to s8, with weights quantized to s8 per output channel; its fp32
// result carries the scales back, so every other op and the fusions above are unchanged. A
// concatenation or max pooling that only such convolutions read is built quantized, straight from
// its inputs (a concatenation resizes on the way an input that a linear Resize made just before it).
#include "engine/Inference/ExecutionPlan.h"
#include "engine/Inference/ByteQuantizer.h"
#include "engine/Inference/DnnlBinding.h"
#include "engine/Inference/WinogradConvolution.h"

#include <omp.h>

#include <cmath>
#include <cstring>

#include <optional>

namespace pelorin::inference {
namespace {

using dnnl::memory;
using tag = memory::format_tag;
using dt = memory::data_type;

memory::dims toDnnlDims(const Dims& dims)
{
    return {dims[0], dims[1], dims[2], dims[3]};
}

dnnl::primitive_attr userScratchpad(const dnnl::post_ops& postOps = dnnl::post_ops())
{
    dnnl::primitive_attr attr;
    attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
    attr.set_post_ops(postOps);
    return attr;
}

// The dense layout `desc` is in, among the plain and the common blocked ones; tag::undef for
// anything else.
tag denseTag(const memory::desc& desc)
{
    const memory::dims dims = desc.dims();
    if (dims.size() == 4)
        for (tag t : {tag::nChw16c, tag::nChw8c, tag::nchw, tag::nhwc})
            if (desc == memory::desc(dims, desc.data_type(), t))
                return t;
    return tag::undef;
}

class Lowering {
public:
    Lowering(ComputeGraph& graph, const LoweringOptions& options, std::shared_ptr<const PreparedWeightCache> cache)
        : graph_(graph),
          options_(options),
          home_(graph.values.size(), -1),
          fused_(graph.ops.size(), false)
    {
        plan_.engine = dnnl::engine(dnnl::engine::kind::cpu, 0);
        plan_.weightStorage = std::move(cache);
        stream_ = dnnl::stream(plan_.engine);
        ownWinograd_ = options.winograd && options.precision != Precision::bf16 && WinogradConvolution::available()
            && !onednnHasWinograd();
        nonNegative_.assign(graph.values.size(), false);
        resizedFrom_.assign(graph.values.size(), -1);
        for (const ComputeOp& op : graph.ops) {
            bool result = false;
            switch (op.kind) {
            case OpKind::relu:
            case OpKind::sigmoid: result = true; break;
            case OpKind::maxPool:
            case OpKind::resize: // linear: weights in [0, 1]
            case OpKind::concat:
            case OpKind::add:
                result = std::all_of(op.inputs.begin(), op.inputs.end(),
                                     [&](int input) { return nonNegative_[size_t(input)]; });
                break;
            case OpKind::convolution: break;
            }
            nonNegative_[size_t(op.output)] = result;
        }
    }

    Result<ExecutionPlan, std::string> run()
    {
        const Dims& inputDims = graph_.values[size_t(graph_.input)].dims;
        plan_.inputBuffer =
            addBuffer(memory::desc(toDnnlDims(inputDims), dt::f32, tag::nchw), BufferPlanner::Storage::externalInput);
        home_[size_t(graph_.input)] = plan_.inputBuffer;

        for (size_t i = 0; i < graph_.ops.size(); ++i) {
            if (fused_[i])
                continue;
            const ComputeOp& op = graph_.ops[i];
            try {
                switch (op.kind) {
                case OpKind::convolution: lowerConvolution(i); break;
                case OpKind::relu: lowerEltwise(i, dnnl::algorithm::eltwise_relu); break;
                case OpKind::sigmoid: lowerEltwise(i, dnnl::algorithm::eltwise_logistic); break;
                case OpKind::maxPool: lowerPooling(i); break;
                case OpKind::resize: lowerResize(i); break;
                case OpKind::concat: lowerConcat(i); break;
                case OpKind::add: lowerAdd(i); break;
                }
            } catch (const dnnl::error& e) {
                return unexpected("node '" + op.name + "' (" + opKindName(op.kind)
                                  + "): oneDNN cannot run it: " + e.what());
            }
        }

        const Dims& outputDims = graph_.values[size_t(graph_.output)].dims;
        const memory::desc plain(toDnnlDims(outputDims), dt::f32, tag::nchw);
        int result = home_[size_t(graph_.output)];
        if (plan_.buffers[size_t(result)].desc != plain || result == plan_.inputBuffer) {
            try {
                result = reorderInto(result, plain, "output");
            } catch (const dnnl::error& e) {
                return unexpected(std::string("oneDNN cannot convert the output to NCHW: ") + e.what());
            }
        }
        plan_.buffers[size_t(result)].storage = BufferPlanner::Storage::externalOutput;
        plan_.outputBuffer = result;
        stream_.wait();
        return std::move(plan_);
    }

private:
    int addBuffer(const memory::desc& desc, BufferPlanner::Storage storage = BufferPlanner::Storage::arena)
    {
        plan_.buffers.push_back({desc, storage});
        return int(plan_.buffers.size()) - 1;
    }

    int addStep(PlanStep step)
    {
        for (const auto& [arg, buffer] : step.buffers)
            (arg == DNNL_ARG_DST ? step.writes : step.reads).push_back(buffer);
        plan_.steps.push_back(std::move(step));
        return int(plan_.steps.size()) - 1;
    }

    // A new buffer holding `source`'s contents in layout `desc`, filled by a reorder step emitted now.
    int reorderInto(int source, const memory::desc& desc, const std::string& forName)
    {
        dnnl::reorder::primitive_desc pd(plan_.engine, plan_.buffers[size_t(source)].desc, plan_.engine, desc,
                                         userScratchpad());
        const int target = addBuffer(desc);
        PlanStep step;
        step.name = forName;
        step.kind = "Reorder";
        step.implementation = pd.impl_info_str();
        step.primitive = dnnl::reorder(pd);
        step.buffers = {{DNNL_ARG_FROM, source}, {DNNL_ARG_TO, target}};
        step.scratchpad = pd.scratchpad_desc();
        addStep(std::move(step));
        return target;
    }

    // `value` in layout `desc`: its home buffer, or a converted copy (made once, then shared).
    int bufferIn(int value, const memory::desc& desc, const std::string& forName)
    {
        const int home = home_[size_t(value)];
        if (plan_.buffers[size_t(home)].desc == desc)
            return home;
        for (const auto& [v, buffer] : variants_)
            if (v == value && plan_.buffers[size_t(buffer)].desc == desc)
                return buffer;
        const int converted = reorderInto(home, desc, forName);
        variants_.emplace_back(value, converted);
        return converted;
    }

    // By value: buffers are added while descriptions are in use.
    memory::desc homeDesc(int value) const { return plan_.buffers[size_t(home_[size_t(value)])].desc; }

    // May op `index` overwrite `value`? Only when every other reader ran before it and the caller
    // does not own or need the bytes.
    bool canOverwrite(int value, size_t index, size_t consumer) const
    {
        if (value == graph_.input || value == graph_.output)
            return false;
        for (int other : graph_.values[size_t(value)].consumers)
            if (size_t(other) != consumer && size_t(other) >= index)
                return false;
        return true;
    }

    // The single consumer of `value`, when it has exactly one and it is of `kind`.
    std::optional<size_t> soleConsumer(int value, OpKind kind) const
    {
        const auto& consumers = graph_.values[size_t(value)].consumers;
        if (value == graph_.output || consumers.size() != 1 || graph_.ops[size_t(consumers[0])].kind != kind)
            return std::nullopt;
        return size_t(consumers[0]);
    }

    // The operation descriptor of `op`; absent when oneDNN refuses the combination outright.
    // With `padded`, `src` already holds the zero padding and the convolution adds none.
    std::optional<dnnl::convolution_forward::desc> convolutionDesc(const ComputeOp& op, dnnl::algorithm algorithm,
                                                                   dt type, const memory::desc& src,
                                                                   const memory::desc& dst, bool padded = false) const
    {
        const auto& p = op.convolution;
        const memory::desc weights({p.weights->dims[0], p.weights->dims[1], p.weights->dims[2], p.weights->dims[3]},
                                   type, tag::any);
        const memory::dims strides{p.stride[0], p.stride[1]};
        const memory::dims dilates{p.dilation[0] - 1, p.dilation[1] - 1}; // oneDNN counts the gaps
        const memory::dims padBegin = padded ? memory::dims{0, 0} : memory::dims{p.padBegin[0], p.padBegin[1]};
        const memory::dims padEnd = padded ? memory::dims{0, 0} : memory::dims{p.padEnd[0], p.padEnd[1]};
        const auto prop = dnnl::prop_kind::forward_inference;
        try {
            if (p.bias)
                return dnnl::convolution_forward::desc(prop, algorithm, src, weights,
                                                       memory::desc({p.weights->dims[0]}, dt::f32, tag::any), dst,
                                                       strides, dilates, padBegin, padEnd);
            return dnnl::convolution_forward::desc(prop, algorithm, src, weights, dst, strides, dilates, padBegin,
                                                   padEnd);
        } catch (const dnnl::error&) {
            return std::nullopt;
        }
    }

    // The first kernel oneDNN offers for `desc`. The returned descriptor's iterator refers to
    // `desc`: call next_impl() only while `desc` lives.
    std::optional<dnnl::convolution_forward::primitive_desc> firstKernel(const dnnl::convolution_forward::desc& desc,
                                                                         const dnnl::post_ops& postOps) const
    {
        try {
            dnnl::primitive_attr attr = userScratchpad(postOps);
            if (!outputScales_.empty())
                attr.set_output_scales(1 << 1, outputScales_); // per output channel
            return dnnl::convolution_forward::primitive_desc(desc, attr, plan_.engine);
        } catch (const dnnl::error&) {
            return std::nullopt;
        }
    }

    // Whether oneDNN has a Winograd kernel at the CPU level it runs at (AVX-512 and up, in 2.6).
    bool onednnHasWinograd() const
    {
        const memory::desc data({1, 64, 32, 32}, dt::f32, tag::any);
        const auto desc = dnnl::convolution_forward::desc(
            dnnl::prop_kind::forward_inference, dnnl::algorithm::convolution_winograd, data,
            memory::desc({64, 64, 3, 3}, dt::f32, tag::any), data, {1, 1}, {1, 1}, {1, 1});
        return firstKernel(desc, dnnl::post_ops()).has_value();
    }

    static bool winogradShape(const ComputeOp& op)
    {
        const auto& p = op.convolution;
        return p.kernel == std::array<int64_t, 2>{3, 3} && p.stride == std::array<int64_t, 2>{1, 1}
        && p.dilation == std::array<int64_t, 2>{1, 1} && p.weights->dims[0] % 16 == 0 && p.weights->dims[1] % 16 == 0;
    }

    // Winograd weights are four times the direct ones. On a map of at most 16 × 16 each is used for
    // 16 tiles only, so the deepest, widest convolutions gain a few milliseconds for tens of MiB:
    // direct kernels there cost 1 % of an inference and save 74 MiB (AVX-512, this model).
    bool boundByWeights(const ComputeOp& op) const
    {
        const Dims& out = graph_.values[size_t(op.output)].dims;
        return out[2] * out[3] <= 16 * 16 && op.convolution.weights->dims[1] >= 256;
    }

    // bf16 convolutions (fp32 accumulation) run direct kernels: oneDNN's Winograd is fp32 only.
    // On a CPU with native bf16 they are as fast as fp32 Winograd, with weights a sixth the size
    // and no Winograd transforms at load. So do int8 ones, about four times as fast with VNNI.
    dt activationType() const { return options_.precision == Precision::bf16 ? dt::bf16 : dt::f32; }
    dt weightType() const { return quantized_ ? dt::s8 : activationType(); }
    dt sourceType() const { return quantized_ ? (signedInput_ ? dt::s8 : dt::u8) : activationType(); }

    // The calibrated maximum magnitude of `op`'s input when it runs in int8: enough channels on both
    // sides for the int8 kernels' blocks to be worth it (the narrow mask heads and the 3-channel
    // first layer stay fp32, where int8 saves nothing).
    std::optional<float> int8InputMaximum(const ComputeOp& op) const
    {
        if (options_.precision != Precision::int8 || !options_.ranges)
            return std::nullopt;
        if (op.convolution.weights->dims[0] < 16 || op.convolution.weights->dims[1] < 16)
            return std::nullopt;
        return options_.ranges->maximumOf(graph_.values[size_t(op.inputs[0])].name);
    }

    // What a kernel is worth for a convolution with these channel counts (0: never take it).
    // Measured on AVX-512 with 2 threads against direct convolution (~400 GFLOP/s): F(4×4, 3×3)
    // Winograd wins 1.3–2.7× except on 16→16 channels; F(2×2, 3×3) only from 64 output channels
    // up (1.4× at 64→64, 0.4× at 64→16). The reference kernel is orders of magnitude slower than
    // anything else (and oneDNN offers it for any layout), so it is only a last resort.
    static int kernelScore(const std::string& implementation, int64_t inChannels, int64_t outChannels,
                           bool allowReference)
    {
        if (implementation.starts_with("ref"))
            return allowReference ? 1 : 0;
        if (implementation.find("wino_4x3") != std::string::npos)
            return inChannels + outChannels >= 64 ? 4 : 0;
        if (implementation.find("wino_2x3") != std::string::npos)
            return outChannels >= 64 ? 3 : 0;
        return 2;
    }

    // The best primitive for `op` by kernelScore, among Winograd (where allowed) and direct
    // kernels, taking the input in its own layout or in the kernel's choice (then reordered).
    // oneDNN offers only its first acceptable kernel by default, so every one is looked at.
    // A dilated convolution whose padding is wider than the JIT kernels take (AVX2's take at most a
    // few columns) would fall to the slow GEMM-based kernel; given its input already padded, a JIT
    // kernel runs it, then `padded` is set and the input must be padded first (padInto).
    std::optional<dnnl::convolution_forward::primitive_desc> chooseConvolution(const ComputeOp& op,
                                                                               const memory::desc& dst,
                                                                               const dnnl::post_ops& postOps,
                                                                               bool allowReference, bool& padded) const
    {
        padded = false;
        auto chosen = chooseAmongKernels(op, dst, postOps, allowReference);
        const auto& p = op.convolution;
        const memory::desc home = homeDesc(op.inputs[0]);
        const bool dilatedAndPadded =
            (p.dilation[0] > 1 || p.dilation[1] > 1) && (p.padBegin[0] || p.padBegin[1] || p.padEnd[0] || p.padEnd[1]);
        const tag layout = denseTag(home);
        const std::string kernel = chosen ? chosen->impl_info_str() : "";
        const bool slow = !chosen || kernel.starts_with("ref") || kernel.find("gemm") != std::string::npos;
        if (!dilatedAndPadded || !slow || layout == tag::undef || layout == tag::nhwc || quantized_
            || home.data_type() != weightType())
            return chosen;
        const memory::dims dims = home.dims();
        const memory::desc paddedSource(
            {dims[0], dims[1], dims[2] + p.padBegin[0] + p.padEnd[0], dims[3] + p.padBegin[1] + p.padEnd[1]},
            home.data_type(), layout);
        const auto desc =
            convolutionDesc(op, dnnl::algorithm::convolution_direct, weightType(), paddedSource, dst, true);
        auto pd = desc ? firstKernel(*desc, postOps) : std::nullopt;
        if (!pd)
            return chosen;
        do {
            if (std::string(pd->impl_info_str()).starts_with("jit")) {
                padded = true;
                return pd;
            }
        } while (pd->next_impl());
        return chosen;
    }

    std::optional<dnnl::convolution_forward::primitive_desc> chooseAmongKernels(const ComputeOp& op,
                                                                                const memory::desc& dst,
                                                                                const dnnl::post_ops& postOps,
                                                                                bool allowReference) const
    {
        const auto& p = op.convolution;
        const int64_t outChannels = p.weights->dims[0], inChannels = p.weights->dims[1];
        const dt type = weightType();
        std::vector<dnnl::algorithm> algorithms;
        if (options_.winograd && winogradShape(op) && type == dt::f32 && !boundByWeights(op))
            algorithms.push_back(dnnl::algorithm::convolution_winograd);
        algorithms.push_back(dnnl::algorithm::convolution_direct);
        const memory::desc src = homeDesc(op.inputs[0]);
        const memory::desc anySrc(src.dims(), sourceType(), tag::any);
        // A quantized input is a new buffer anyway: the kernel picks its layout.
        const std::vector<const memory::desc*> sources =
            quantized_ ? std::vector<const memory::desc*>{&anySrc} : std::vector<const memory::desc*>{&src, &anySrc};

        struct Choice {
            int score = 0;
            dnnl::algorithm algorithm{};
            const memory::desc* src = nullptr;
            int implementation = 0;
        } best;
        for (auto algorithm : algorithms)
            for (const memory::desc* candidate : sources) {
                const auto desc = convolutionDesc(op, algorithm, type, *candidate, dst);
                auto pd = desc ? firstKernel(*desc, postOps) : std::nullopt;
                if (!pd)
                    continue;
                const int ceiling = algorithm == dnnl::algorithm::convolution_winograd ? 4 : 2;
                int implementation = 0;
                do {
                    const int score = kernelScore(pd->impl_info_str(), inChannels, outChannels, allowReference);
                    if (score > best.score)
                        best = {score, algorithm, candidate, implementation};
                    ++implementation;
                } while (best.score < ceiling && pd->next_impl());
            }
        if (best.score == 0)
            return std::nullopt;
        const auto desc = convolutionDesc(op, best.algorithm, type, *best.src, dst);
        auto pd = desc ? firstKernel(*desc, postOps) : std::nullopt;
        for (int k = 0; pd && k < best.implementation; ++k)
            pd->next_impl();
        return pd; // a fetched kernel: independent of `desc` from here on
    }

    void lowerConvolution(size_t index)
    {
        const ComputeOp& op = graph_.ops[index];
        const auto& p = op.convolution;
        const std::optional<float> inputMaximum = int8InputMaximum(op);
        float inputScale = 0; // quantized input per unit
        if (inputMaximum) {
            // Symmetric per-channel weights; the output scale undoes both quantizations.
            quantized_ = true;
            signedInput_ = !nonNegative_[size_t(op.inputs[0])];
            inputScale = (signedInput_ ? 127.f : 255.f) / *inputMaximum;
            weightMaxima_ = channelMaxima(*p.weights);
            outputScales_.clear();
            for (float maximum : weightMaxima_)
                outputScales_.push_back(maximum / 127.f / inputScale);
        }
        struct ResetQuantization {
            Lowering& lowering;
            ~ResetQuantization()
            {
                lowering.quantized_ = lowering.signedInput_ = false;
                lowering.outputScales_.clear();
                lowering.weightMaxima_.clear();
            }
        } resetQuantization{*this};
        if (!quantized_ && ownWinograd_ && p.kernel == std::array<int64_t, 2>{3, 3}
            && p.stride == std::array<int64_t, 2>{1, 1} && p.dilation == std::array<int64_t, 2>{1, 1}
            && WinogradConvolution::fits(p.weights->dims[1], p.weights->dims[0])) {
            lowerOwnWinograd(index);
            return;
        }
        int result = op.output;
        std::string kind = "Conv";
        std::vector<size_t> absorbed;
        bool relu = false;
        if (auto reluOp = soleConsumer(result, OpKind::relu)) {
            relu = true;
            absorbed.push_back(*reluOp);
            result = graph_.ops[*reluOp].output;
            kind += "+Relu";
        }
        // dnnl::post_ops is a shared handle: every variant is built afresh.
        enum class Residual { none, sum, binary };
        // A ReLU of the sum (a split convolution's last part) follows the residual.
        std::optional<size_t> reluOfSum;
        auto postOpsWith = [&](Residual residual, const memory::desc& other) {
            dnnl::post_ops ops;
            if (relu)
                ops.append_eltwise(1.f, dnnl::algorithm::eltwise_relu, 0.f, 0.f);
            if (residual == Residual::sum)
                ops.append_sum(1.f);
            if (residual == Residual::binary)
                ops.append_binary(dnnl::algorithm::binary_add, other);
            if (residual != Residual::none && reluOfSum)
                ops.append_eltwise(1.f, dnnl::algorithm::eltwise_relu, 0.f, 0.f);
            return ops;
        };
        const int binaryIndex = relu ? 1 : 0;
        const memory::desc anyDst(toDnnlDims(graph_.values[size_t(result)].dims), activationType(), tag::any);

        // Residual Add, best first: a sum post-op accumulating into the other operand's buffer
        // (when it is not read again), or a binary post-op reading it; else a separate Add.
        std::optional<dnnl::convolution_forward::primitive_desc> pd;
        bool padded = false;
        int sumOperand = -1, binaryOperand = -1;
        if (auto add = soleConsumer(result, OpKind::add)) {
            const ComputeOp& addOp = graph_.ops[*add];
            const int other = addOp.inputs[0] == result ? addOp.inputs[1] : addOp.inputs[0];
            if (other != result && home_[size_t(other)] >= 0) {
                if (!relu)
                    reluOfSum = soleConsumer(addOp.output, OpKind::relu);
                const memory::desc otherDesc = homeDesc(other);
                if (canOverwrite(other, index, *add)
                    && (pd = chooseConvolution(op, otherDesc, postOpsWith(Residual::sum, otherDesc), false, padded)))
                    sumOperand = other;
                if (!pd
                    && (pd = chooseConvolution(op, otherDesc, postOpsWith(Residual::binary, otherDesc), false, padded)))
                    binaryOperand = other;
                if (pd) {
                    absorbed.push_back(*add);
                    result = addOp.output;
                    kind += "+Add";
                    if (reluOfSum) {
                        absorbed.push_back(*reluOfSum);
                        result = graph_.ops[*reluOfSum].output;
                        kind += "+Relu";
                    }
                }
                reluOfSum.reset();
            }
        }
        if (!pd)
            pd = chooseConvolution(op, anyDst, postOpsWith(Residual::none, anyDst), true, padded);
        if (!pd)
            throw dnnl::error(dnnl_unimplemented, "no convolution kernel for these parameters");
        for (size_t a : absorbed)
            fused_[a] = true;

        const int src = quantized_ ? quantizedBufferIn(op.inputs[0], pd->src_desc(), inputScale, op.name)
            : padded               ? padInto(op.inputs[0], pd->src_desc(), op)
                                   : bufferIn(op.inputs[0], pd->src_desc(), op.name);
        PlanStep step;
        step.name = op.name;
        step.kind = quantized_ ? kind + "(int8)" : kind;
        step.implementation = pd->impl_info_str();
        step.primitive = dnnl::convolution_forward(*pd);
        step.flops = op.flops(graph_);
        step.scratchpad = pd->scratchpad_desc();
        step.inputValue = graph_.values[size_t(op.inputs[0])].name;
        if (quantized_) {
            step.constants.emplace_back(DNNL_ARG_WEIGHTS, quantizedWeights(*p.weights, pd->weights_desc()));
            if (p.bias) // oneDNN adds the bias before the output scale
                step.constants.emplace_back(
                    DNNL_ARG_BIAS, preparedMemory(p.bias->floats, pd->bias_desc(), [&](float* into) {
                        for (size_t c = 0; c < p.bias->floats.size(); ++c)
                            into[c] = outputScales_[c] > 0 ? p.bias->floats[c] / outputScales_[c] : 0.f;
                    }));
        } else {
            step.constants.emplace_back(DNNL_ARG_WEIGHTS, constantMemory(*p.weights, pd->weights_desc()));
            if (p.bias)
                step.constants.emplace_back(DNNL_ARG_BIAS, constantMemory(*p.bias, pd->bias_desc()));
        }
        graph_.ops[index].convolution.weights.reset();
        graph_.ops[index].convolution.bias.reset();
        const int dst = addBuffer(pd->dst_desc());
        step.buffers = {{DNNL_ARG_SRC, src}, {DNNL_ARG_DST, dst}};
        if (binaryOperand >= 0)
            step.buffers.emplace_back(DNNL_ARG_ATTR_MULTIPLE_POST_OP(binaryIndex) | DNNL_ARG_SRC_1,
                                      home_[size_t(binaryOperand)]);
        if (sumOperand >= 0)
            step.reads.push_back(home_[size_t(sumOperand)]); // the sum reads the destination first
        const int stepIndex = addStep(std::move(step));
        if (sumOperand >= 0)
            plan_.inPlace.push_back({stepIndex, home_[size_t(sumOperand)], dst});
        home_[size_t(result)] = dst;

        // A few channels padded to a whole block would make every later op work on the padding
        // too, and some kernels only take a few channels in plain layout: one small reorder.
        const int64_t channels = graph_.values[size_t(result)].dims[1];
        const memory::desc plain(toDnnlDims(graph_.values[size_t(result)].dims), pd->dst_desc().data_type(), tag::nchw);
        if (channels < 16 && pd->dst_desc() != plain)
            home_[size_t(result)] = reorderInto(dst, plain, op.name);
    }

    // A new buffer of layout `padded` holding `value` (in the same dense layout) inside a border of
    // zeros as wide as `op`'s padding, filled by a step of ours.
    int padInto(int value, const memory::desc& padded, const ComputeOp& op)
    {
        const memory::desc source = homeDesc(value);
        const tag layout = denseTag(source);
        const memory::dims from = source.dims(), to = padded.dims();
        const int64_t block = layout == tag::nChw16c ? 16 : layout == tag::nChw8c ? 8 : 1;
        const size_t elementBytes = memory::data_type_size(source.data_type());
        struct Geometry {
            int64_t planes, block, height, width, paddedHeight, paddedWidth, top, left;
            size_t elementBytes;
        } g{(from[1] + block - 1) / block, block,       from[2], from[3], to[2], to[3], op.convolution.padBegin[0],
            op.convolution.padBegin[1],    elementBytes};
        const int target = addBuffer(padded);
        PlanStep step;
        step.name = op.name;
        step.kind = "Pad";
        step.implementation = "pelorin:zero_pad";
        step.buffers = {{DNNL_ARG_SRC, home_[size_t(value)]}, {DNNL_ARG_DST, target}};
        step.kernel = [g](const std::unordered_map<int, memory>& args) {
            const auto* in = static_cast<const std::byte*>(args.at(DNNL_ARG_SRC).get_data_handle());
            auto* out = static_cast<std::byte*>(args.at(DNNL_ARG_DST).get_data_handle());
            const size_t pixel = size_t(g.block) * g.elementBytes;
            for (int64_t plane = 0; plane < g.planes; ++plane)
                for (int64_t y = 0; y < g.paddedHeight; ++y) {
                    std::byte* row = out + size_t((plane * g.paddedHeight + y) * g.paddedWidth) * pixel;
                    const int64_t sourceY = y - g.top;
                    if (sourceY < 0 || sourceY >= g.height) {
                        std::memset(row, 0, size_t(g.paddedWidth) * pixel);
                        continue;
                    }
                    std::memset(row, 0, size_t(g.left) * pixel);
                    std::memcpy(row + size_t(g.left) * pixel,
                                in + size_t((plane * g.height + sourceY) * g.width) * pixel, size_t(g.width) * pixel);
                    std::memset(row + size_t(g.left + g.width) * pixel, 0,
                                size_t(g.paddedWidth - g.left - g.width) * pixel);
                }
        };
        addStep(std::move(step));
        return target;
    }

    // A 3×3 convolution through our Winograd kernel, in nChw8c, with a following ReLU and a residual
    // Add fused as oneDNN's kernels fuse them: accumulating into the other operand's buffer when it
    // is not read again, else reading it.
    void lowerOwnWinograd(size_t index)
    {
        const ComputeOp& op = graph_.ops[index];
        const auto& p = op.convolution;
        const Dims& in = graph_.values[size_t(op.inputs[0])].dims;
        const Dims& out = graph_.values[size_t(op.output)].dims;
        WinogradConvolution::Params params{.inChannels = in[1],
                                           .outChannels = out[1],
                                           .height = in[2],
                                           .width = in[3],
                                           .outHeight = out[2],
                                           .outWidth = out[3],
                                           .padTop = p.padBegin[0],
                                           .padLeft = p.padBegin[1]};
        int result = op.output;
        std::string kind = "Conv";
        if (auto reluOp = soleConsumer(result, OpKind::relu)) {
            params.relu = true;
            fused_[*reluOp] = true;
            result = graph_.ops[*reluOp].output;
            kind += "+Relu";
        }
        const memory::desc blocked(toDnnlDims(out), dt::f32, tag::nChw8c);
        int residual = -1;
        if (auto add = soleConsumer(result, OpKind::add)) {
            const ComputeOp& addOp = graph_.ops[*add];
            const int other = addOp.inputs[0] == result ? addOp.inputs[1] : addOp.inputs[0];
            if (other != result && home_[size_t(other)] >= 0) {
                const bool accumulate = homeDesc(other) == blocked && canOverwrite(other, index, *add);
                params.residual =
                    accumulate ? WinogradConvolution::Residual::accumulate : WinogradConvolution::Residual::add;
                residual = accumulate ? home_[size_t(other)] : bufferIn(other, blocked, op.name);
                fused_[*add] = true;
                result = addOp.output;
                kind += "+Add";
            }
        }

        auto kernel = std::make_shared<const WinogradConvolution>(params, omp_get_max_threads());
        const int src = bufferIn(op.inputs[0], memory::desc(toDnnlDims(in), dt::f32, tag::nChw8c), op.name);
        PlanStep step;
        step.name = op.name;
        step.kind = kind;
        step.implementation = kernel->outputTile() == 6 ? "pelorin:winograd_6x3:avx2" : "pelorin:winograd_4x3:avx2";
        step.flops = op.flops(graph_);
        step.scratchpad = memory::desc({memory::dim(kernel->scratchpadBytes())}, dt::u8, tag::a);
        const memory::desc transformedDesc({memory::dim(kernel->transformedWeightCount())}, dt::f32, tag::a);
        step.constants.emplace_back(DNNL_ARG_WEIGHTS,
                                    preparedMemory(p.weights->floats, transformedDesc, [&](float* into) {
                                        kernel->transformWeights(p.weights->floats.data(), into);
                                    }));
        const bool hasBias = p.bias != nullptr;
        if (hasBias)
            step.constants.emplace_back(DNNL_ARG_BIAS,
                                        constantMemory(*p.bias, memory::desc({out[1]}, dt::f32, tag::a)));
        graph_.ops[index].convolution.weights.reset();
        graph_.ops[index].convolution.bias.reset();
        const int dst = addBuffer(blocked);
        step.buffers = {{DNNL_ARG_SRC, src}, {DNNL_ARG_DST, dst}};
        if (params.residual == WinogradConvolution::Residual::add)
            step.buffers.emplace_back(DNNL_ARG_SRC_1, residual);
        else if (params.residual == WinogradConvolution::Residual::accumulate)
            step.reads.push_back(residual); // read from the destination before it is written
        step.kernel = [kernel, hasBias](const std::unordered_map<int, memory>& args) {
            auto pointer = [&](int arg) { return static_cast<float*>(args.at(arg).get_data_handle()); };
            const bool add = args.count(DNNL_ARG_SRC_1) != 0;
            kernel->execute(pointer(DNNL_ARG_SRC), pointer(DNNL_ARG_DST), add ? pointer(DNNL_ARG_SRC_1) : nullptr,
                            pointer(DNNL_ARG_WEIGHTS), hasBias ? pointer(DNNL_ARG_BIAS) : nullptr,
                            static_cast<std::byte*>(args.at(DNNL_ARG_SCRATCHPAD).get_data_handle()));
        };
        const int stepIndex = addStep(std::move(step));
        if (params.residual == WinogradConvolution::Residual::accumulate)
            plan_.inPlace.push_back({stepIndex, residual, dst});
        home_[size_t(result)] = dst;
    }

    // A constant tensor prepared for a kernel (weights into its layout): from the cache when it
    // holds them for these very source values, else made here by `prepare`.
    template <typename Prepare>
    memory preparedMemory(std::span<const float> source, const memory::desc& desc, Prepare&& prepare)
    {
        const uint32_t checksum = weightChecksum(source);
        if (auto cached = cachedMemory(desc, checksum))
            return *cached;
        memory prepared(desc, plan_.engine);
        prepare(static_cast<float*>(prepared.get_data_handle()));
        plan_.preparedWeights.push_back({desc, checksum, prepared});
        return prepared;
    }

    // The cache's copy of the next prepared tensor, bound where it lies (the plan keeps the cache
    // alive), when it has one of this layout made from these values.
    std::optional<memory> cachedMemory(const memory::desc& desc, uint32_t checksum)
    {
        const auto* cache = plan_.weightStorage.get();
        auto cached = cache ? cache->find(plan_.preparedWeights.size(), desc, checksum) : std::nullopt;
        if (!cached)
            return std::nullopt;
        memory cachedWeights =
            alignedMemory(desc, plan_.engine, const_cast<std::byte*>(cached->data()), "a cached weight tensor").value();
        plan_.preparedWeights.push_back({desc, checksum, cachedWeights});
        ++plan_.weightsFromCache;
        return cachedWeights;
    }

    // Weights or bias in the layout the primitive chose: from the cache when it holds them for
    // these very weights, else converted once here.
    memory constantMemory(const Tensor& tensor, const memory::desc& desc)
    {
        const uint32_t checksum = weightChecksum(tensor.floats);
        if (auto cached = cachedMemory(desc, checksum))
            return *cached;
        memory::dims dims(tensor.dims.begin(), tensor.dims.end());
        const tag plainTag = dims.size() == 4 ? tag::oihw : tag::a;
        // Only read by the reorder, but bound like every other pointer: aligned, copied if not.
        auto* values = const_cast<float*>(tensor.floats.data());
        AlignedFloats staged;
        if (!isTensorAligned(values)) {
            staged.assign(tensor.floats.begin(), tensor.floats.end());
            values = staged.data();
        }
        memory plain =
            alignedMemory(memory::desc(dims, dt::f32, plainTag), plan_.engine, values, "a weight tensor").value();
        memory converted(desc, plan_.engine);
        dnnl::reorder(plain, converted).execute(stream_, plain, converted);
        stream_.wait();
        plan_.preparedWeights.push_back({desc, checksum, converted});
        return converted;
    }

    // The largest |weight| of each output channel.
    static std::vector<float> channelMaxima(const Tensor& weights)
    {
        const size_t channels = size_t(weights.dims[0]), perChannel = weights.floats.size() / channels;
        std::vector<float> maxima(channels, 0.f);
        for (size_t c = 0; c < channels; ++c)
            for (size_t k = 0; k < perChannel; ++k)
                maxima[c] = std::max(maxima[c], std::abs(weights.floats[c * perChannel + k]));
        return maxima;
    }

    // `weights` rounded to s8 with channel c spanning ±weightMaxima_[c], in the kernel's layout.
    memory quantizedWeights(const Tensor& weights, const memory::desc& desc)
    {
        const uint32_t checksum = weightChecksum(weights.floats);
        if (auto cached = cachedMemory(desc, checksum))
            return *cached;
        const size_t channels = size_t(weights.dims[0]), perChannel = weights.floats.size() / channels;
        memory plain(memory::desc(memory::dims(weights.dims.begin(), weights.dims.end()), dt::s8, tag::oihw),
                     plan_.engine);
        auto* values = static_cast<int8_t*>(plain.get_data_handle());
        for (size_t c = 0; c < channels; ++c) {
            const float scale = weightMaxima_[c] > 0 ? 127.f / weightMaxima_[c] : 0.f;
            for (size_t k = 0; k < perChannel; ++k)
                values[c * perChannel + k] =
                    int8_t(std::clamp(std::lround(weights.floats[c * perChannel + k] * scale), -127L, 127L));
        }
        memory converted(desc, plan_.engine);
        dnnl::reorder(plain, converted).execute(stream_, plain, converted);
        stream_.wait();
        plan_.preparedWeights.push_back({desc, checksum, converted});
        return converted;
    }

    // `value` multiplied by `scale`, rounded and saturated to desc's u8 or s8, in layout `desc` (made
    // once, then shared by every convolution reading it: the scale is the value's own).
    int quantizedBufferIn(int value, const memory::desc& desc, float scale, const std::string& forName)
    {
        if (homeDesc(value).data_type() == desc.data_type()) // built quantized by its producer
            return bufferIn(value, desc, forName);
        for (const auto& [v, buffer] : variants_)
            if (v == value && plan_.buffers[size_t(buffer)].desc == desc)
                return buffer;
        const int source = home_[size_t(value)];
        const memory::desc from = plan_.buffers[size_t(source)].desc;
        const int target = addBuffer(desc);
        PlanStep step;
        step.name = forName;
        step.kind = "Quantize";
        step.buffers = {{DNNL_ARG_FROM, source}, {DNNL_ARG_TO, target}};
        const tag layout = denseTag(from);
        if (layout != tag::undef && desc == memory::desc(from.dims(), desc.data_type(), layout)) {
            const bool toSigned = desc.data_type() == dt::s8;
            step.implementation = toSigned ? "pelorin:quantize_s8" : "pelorin:quantize_u8";
            const size_t count = from.get_size() / sizeof(float);
            step.kernel = [count, scale, toSigned](const std::unordered_map<int, memory>& args) {
                quantizeToBytes(static_cast<const float*>(args.at(DNNL_ARG_FROM).get_data_handle()),
                                args.at(DNNL_ARG_TO).get_data_handle(), count, scale, toSigned);
            };
        } else {
            dnnl::primitive_attr attr = userScratchpad();
            attr.set_output_scales(0, {scale});
            dnnl::reorder::primitive_desc pd(plan_.engine, from, plan_.engine, desc, attr);
            step.implementation = pd.impl_info_str();
            step.primitive = dnnl::reorder(pd);
            step.scratchpad = pd.scratchpad_desc();
        }
        addStep(std::move(step));
        variants_.emplace_back(value, target);
        return target;
    }

    // An elementwise op working in place on its operand when the operand dies with it.
    void lowerEltwise(size_t index, dnnl::algorithm algorithm)
    {
        const ComputeOp& op = graph_.ops[index];
        const int input = op.inputs[0];
        const int src = home_[size_t(input)];
        dnnl::eltwise_forward::desc desc(dnnl::prop_kind::forward_inference, algorithm, homeDesc(input), 0.f, 0.f);
        dnnl::eltwise_forward::primitive_desc pd(desc, userScratchpad(), plan_.engine);
        const int dst = addBuffer(pd.dst_desc());
        PlanStep step;
        step.name = op.name;
        step.kind = opKindName(op.kind);
        step.implementation = pd.impl_info_str();
        step.primitive = dnnl::eltwise_forward(pd);
        step.scratchpad = pd.scratchpad_desc();
        step.buffers = {{DNNL_ARG_SRC, src}, {DNNL_ARG_DST, dst}};
        const int stepIndex = addStep(std::move(step));
        if (canOverwrite(input, index, index) && pd.dst_desc() == homeDesc(input))
            plan_.inPlace.push_back({stepIndex, src, dst});
        home_[size_t(op.output)] = dst;
    }

    void lowerPooling(size_t index)
    {
        const ComputeOp& op = graph_.ops[index];
        if (lowerQuantizedPooling(op))
            return;
        const auto& p = op.pooling;
        const memory::desc dstAny(toDnnlDims(graph_.values[size_t(op.output)].dims), homeDesc(op.inputs[0]).data_type(),
                                  tag::any);
        dnnl::pooling_forward::desc desc(dnnl::prop_kind::forward_inference, dnnl::algorithm::pooling_max,
                                         homeDesc(op.inputs[0]), dstAny, {p.stride[0], p.stride[1]},
                                         {p.kernel[0], p.kernel[1]}, {p.padBegin[0], p.padBegin[1]},
                                         {p.padEnd[0], p.padEnd[1]});
        dnnl::pooling_forward::primitive_desc pd(desc, userScratchpad(), plan_.engine);
        addSimpleStep(op, pd, dnnl::pooling_forward(pd), {{DNNL_ARG_SRC, home_[size_t(op.inputs[0])]}});
    }

    // Max pooling for int8 convolutions alone: pooled and quantized in one pass (maxPoolToBytes).
    bool lowerQuantizedPooling(const ComputeOp& op)
    {
        const std::optional<float> maximum = quantizedReadMaximum(op.output);
        if (!maximum)
            return false;
        const bool toSigned = !nonNegative_[size_t(op.output)];
        const float scale = (toSigned ? 127.f : 255.f) / *maximum;
        const memory::dims inDims = toDnnlDims(graph_.values[size_t(op.inputs[0])].dims);
        const memory::dims outDims = toDnnlDims(graph_.values[size_t(op.output)].dims);
        const int src = bufferIn(op.inputs[0], memory::desc(inDims, dt::f32, tag::nhwc), op.name);
        const int dst = addBuffer(memory::desc(outDims, toSigned ? dt::s8 : dt::u8, tag::nhwc));
        const auto& p = op.pooling;
        const PoolingWindow window{size_t(p.kernel[0]), size_t(p.kernel[1]),   size_t(p.stride[0]),
                                   size_t(p.stride[1]), size_t(p.padBegin[0]), size_t(p.padBegin[1])};
        PlanStep step;
        step.name = op.name;
        step.kind = "MaxPool(int8)";
        step.implementation = toSigned ? "pelorin:pool_quantize_s8" : "pelorin:pool_quantize_u8";
        step.buffers = {{DNNL_ARG_SRC, src}, {DNNL_ARG_DST, dst}};
        step.kernel = [inDims, outDims, window, scale, toSigned](const std::unordered_map<int, memory>& args) {
            maxPoolToBytes(static_cast<const float*>(args.at(DNNL_ARG_SRC).get_data_handle()), size_t(inDims[2]),
                           size_t(inDims[3]), size_t(inDims[1]), window, args.at(DNNL_ARG_DST).get_data_handle(),
                           size_t(outDims[2]), size_t(outDims[3]), scale, toSigned);
        };
        addStep(std::move(step));
        home_[size_t(op.output)] = dst;
        return true;
    }

    void lowerResize(size_t index)
    {
        const ComputeOp& op = graph_.ops[index];
        const int input = op.inputs[0];
        // Read only by the very next op, a concatenation built in int8: that pass resizes it. Nothing
        // runs in between that could overwrite the input.
        const auto& readers = graph_.values[size_t(op.output)].consumers;
        if (index + 1 < graph_.ops.size() && !readers.empty()
            && std::ranges::all_of(readers, [&](int reader) { return size_t(reader) == index + 1; })
            && quantizedConcatMaximum(graph_.ops[index + 1])) {
            resizedFrom_[size_t(op.output)] = input;
            return;
        }
        const memory::dims outDims = toDnnlDims(graph_.values[size_t(op.output)].dims);
        const dt type = homeDesc(input).data_type();
        const memory::desc plainSource(toDnnlDims(graph_.values[size_t(input)].dims), type, tag::nchw);
        // Linear resampling with an explicit destination size is ONNX's linear / half_pixel. The
        // input's own layout first; the plain one when only the reference kernel takes the former.
        std::optional<dnnl::resampling_forward::primitive_desc> chosen;
        memory::desc chosenSource;
        for (const memory::desc& src : {homeDesc(input), plainSource}) {
            std::vector<memory::desc> destinations{memory::desc(outDims, type, tag::any)};
            if (const tag t = denseTag(src); t != tag::undef)
                destinations.insert(destinations.begin(), memory::desc(outDims, type, t));
            for (const auto& dst : destinations) {
                try {
                    dnnl::resampling_forward::desc desc(dnnl::prop_kind::forward_inference,
                                                        dnnl::algorithm::resampling_linear, src, dst);
                    dnnl::resampling_forward::primitive_desc pd(desc, userScratchpad(), plan_.engine);
                    const bool reference = std::string(pd.impl_info_str()).starts_with("ref");
                    if (!chosen || (!reference && std::string(chosen->impl_info_str()).starts_with("ref"))) {
                        chosen = pd;
                        chosenSource = src;
                    }
                    if (!reference)
                        break;
                } catch (const dnnl::error&) {
                }
            }
            if (chosen && !std::string(chosen->impl_info_str()).starts_with("ref"))
                break;
        }
        if (!chosen)
            throw dnnl::error(dnnl_unimplemented, "no resampling kernel for this layout");
        const int src = bufferIn(input, chosenSource, op.name);
        addSimpleStep(op, *chosen, dnnl::resampling_forward(*chosen), {{DNNL_ARG_SRC, src}});
    }

    // A step writing one new buffer (the op's output) from `sources`.
    template <typename PrimitiveDesc>
    int addSimpleStep(const ComputeOp& op, const PrimitiveDesc& pd, dnnl::primitive primitive,
                      std::vector<std::pair<int, int>> sources)
    {
        const int dst = addBuffer(pd.dst_desc());
        PlanStep step;
        step.name = op.name;
        step.kind = opKindName(op.kind);
        step.implementation = pd.impl_info_str();
        step.primitive = std::move(primitive);
        step.scratchpad = pd.scratchpad_desc();
        step.buffers = std::move(sources);
        step.buffers.emplace_back(DNNL_ARG_DST, dst);
        home_[size_t(op.output)] = dst;
        return addStep(std::move(step));
    }

    void lowerConcat(size_t index)
    {
        const ComputeOp& op = graph_.ops[index];
        if (lowerQuantizedConcat(op))
            return;
        // Inputs of mixed precision meet in the first one's (converted copies are shared).
        const dt type = homeDesc(op.inputs[0]).data_type();
        std::vector<int> homes;
        std::vector<memory::desc> sources;
        for (int input : op.inputs) {
            memory::desc desc = homeDesc(input);
            int buffer = home_[size_t(input)];
            if (desc.data_type() != type) {
                const tag t = denseTag(desc);
                desc = memory::desc(desc.dims(), type, t == tag::undef ? tag::nchw : t);
                buffer = bufferIn(input, desc, op.name);
            }
            homes.push_back(buffer);
            sources.push_back(desc);
        }
        // One shared dense layout lets the output be a plain concatenation of the inputs' bytes.
        tag common = denseTag(sources.front());
        for (const auto& desc : sources)
            if (denseTag(desc) != common)
                common = tag::undef;
        const memory::dims outDims = toDnnlDims(graph_.values[size_t(op.output)].dims);
        auto pd = common != tag::undef
            ? dnnl::concat::primitive_desc(memory::desc(outDims, sources.front().data_type(), common), int(op.axis),
                                           sources, plan_.engine, userScratchpad())
            : dnnl::concat::primitive_desc(int(op.axis), sources, plan_.engine, userScratchpad());
        std::vector<std::pair<int, int>> args;
        for (size_t k = 0; k < op.inputs.size(); ++k)
            args.emplace_back(DNNL_ARG_MULTIPLE_SRC + int(k), homes[k]);
        const int stepIndex = addSimpleStep(op, pd, dnnl::concat(pd), args);

        // Channel-outer layouts with whole blocks per input: each input is a contiguous slab.
        const int64_t block = common == tag::nChw16c ? 16 : common == tag::nChw8c ? 8 : 1;
        bool viewable = common != tag::undef && common != tag::nhwc && op.axis == 1 && outDims[0] == 1;
        for (size_t k = 0; k < op.inputs.size(); ++k)
            viewable = viewable && op.inputs[k] != graph_.input && homes[k] == home_[size_t(op.inputs[k])]
                && graph_.values[size_t(op.inputs[k])].dims[1] % block == 0;
        if (!viewable)
            return;
        ExecutionPlan::ConcatView view{stepIndex, home_[size_t(op.output)], {}};
        size_t offset = 0;
        for (int input : op.inputs) {
            view.inputsAtOffsets.emplace_back(home_[size_t(input)], offset);
            offset += homeDesc(input).get_size();
        }
        plan_.concatViews.push_back(std::move(view));
    }

    // The calibrated maximum `value` is quantized with when int8 convolutions are all that read it:
    // then its producer may write it quantized (a concatenation, a max pooling), never in fp32.
    std::optional<float> quantizedReadMaximum(int value) const
    {
        const ComputeValue& v = graph_.values[size_t(value)];
        if (options_.precision != Precision::int8 || v.dims[0] != 1 || value == graph_.output || v.consumers.empty())
            return std::nullopt;
        std::optional<float> maximum;
        for (int consumer : v.consumers) {
            const ComputeOp& reader = graph_.ops[size_t(consumer)];
            if (reader.kind != OpKind::convolution || reader.inputs[0] != value
                || !(maximum = int8InputMaximum(reader)))
                return std::nullopt;
        }
        return maximum;
    }

    std::optional<float> quantizedConcatMaximum(const ComputeOp& op) const
    {
        return op.kind == OpKind::concat && op.axis == 1 ? quantizedReadMaximum(op.output) : std::nullopt;
    }

    // In int8, a channel concatenation read only by quantized convolutions is built quantized: each
    // input goes straight into its slice of their NHWC byte input and is never copied in fp32.
    bool lowerQuantizedConcat(const ComputeOp& op)
    {
        const std::optional<float> maximum = quantizedConcatMaximum(op);
        if (!maximum)
            return false;
        // As lowerConvolution quantizes this input; it reads the buffer as it stands.
        const bool toSigned = !nonNegative_[size_t(op.output)];
        const float scale = (toSigned ? 127.f : 255.f) / *maximum;
        const memory::dims outDims = toDnnlDims(graph_.values[size_t(op.output)].dims);
        const int dst = addBuffer(memory::desc(outDims, toSigned ? dt::s8 : dt::u8, tag::nhwc));
        PlanStep step;
        step.name = op.name;
        step.kind = "Concat(int8)";
        step.implementation = toSigned ? "pelorin:concat_quantize_s8" : "pelorin:concat_quantize_u8";
        struct Slice {
            size_t channels, first;
            int64_t height, width; // of the source, which a deferred resize brings to the output's size
        };
        std::vector<Slice> slices;
        size_t first = 0;
        for (size_t k = 0; k < op.inputs.size(); ++k) {
            const int input = op.inputs[k];
            const int source = resizedFrom_[size_t(input)] >= 0 ? resizedFrom_[size_t(input)] : input;
            const memory::dims dims = toDnnlDims(graph_.values[size_t(source)].dims);
            const int src = bufferIn(source, memory::desc(dims, dt::f32, tag::nhwc), op.name);
            step.buffers.emplace_back(DNNL_ARG_MULTIPLE_SRC + int(k), src);
            slices.push_back({size_t(dims[1]), first, dims[2], dims[3]});
            first += size_t(dims[1]);
        }
        step.buffers.emplace_back(DNNL_ARG_DST, dst);
        const int64_t height = outDims[2], width = outDims[3];
        const size_t channels = size_t(outDims[1]);
        step.kernel = [slices, height, width, channels, scale, toSigned](const std::unordered_map<int, memory>& args) {
            auto* to = static_cast<uint8_t*>(args.at(DNNL_ARG_DST).get_data_handle());
            for (size_t k = 0; k < slices.size(); ++k) {
                const Slice& s = slices[k];
                const auto* from = static_cast<const float*>(args.at(DNNL_ARG_MULTIPLE_SRC + int(k)).get_data_handle());
                if (s.height == height && s.width == width)
                    quantizeRowsToBytes(from, size_t(height * width), s.channels, to + s.first, channels, scale,
                                        toSigned);
                else
                    resizeLinearToBytes(from, size_t(s.height), size_t(s.width), s.channels, to + s.first,
                                        size_t(height), size_t(width), channels, scale, toSigned);
            }
        };
        addStep(std::move(step));
        home_[size_t(op.output)] = dst;
        return true;
    }

    void lowerAdd(size_t index)
    {
        const ComputeOp& op = graph_.ops[index];
        const int a = op.inputs[0], b = op.inputs[1];
        const memory::desc layout = homeDesc(a);
        const int srcA = home_[size_t(a)];
        const int srcB = bufferIn(b, layout, op.name);
        dnnl::binary::desc desc(dnnl::algorithm::binary_add, layout, layout, layout);
        dnnl::binary::primitive_desc pd(desc, userScratchpad(), plan_.engine);
        const int stepIndex = addSimpleStep(op, pd, dnnl::binary(pd), {{DNNL_ARG_SRC_0, srcA}, {DNNL_ARG_SRC_1, srcB}});
        const int dst = home_[size_t(op.output)];
        if (a != b && canOverwrite(a, index, index))
            plan_.inPlace.push_back({stepIndex, srcA, dst});
        else if (a != b && srcB == home_[size_t(b)] && canOverwrite(b, index, index))
            plan_.inPlace.push_back({stepIndex, srcB, dst});
    }

    ComputeGraph& graph_;
    LoweringOptions options_;
    ExecutionPlan plan_;
    dnnl::stream stream_;
    std::vector<int> home_;                     // value → buffer in the layout its producer wrote
    std::vector<std::pair<int, int>> variants_; // (value, buffer) copies in other layouts
    std::vector<bool> fused_;                   // ops absorbed into an earlier step
    bool ownWinograd_ = false;                  // our Winograd kernel for the 3×3 convolutions
    std::vector<bool> nonNegative_;             // value → never negative, by construction
    std::vector<int> resizedFrom_;              // value → the input of a resize left to its concatenation
    // The convolution being lowered in int8: its weights' channel maxima and output scales.
    bool quantized_ = false, signedInput_ = false;
    std::vector<float> weightMaxima_, outputScales_;
};

} // namespace

Result<ExecutionPlan, std::string> lowerToDnnl(ComputeGraph graph, const LoweringOptions& options,
                                               std::shared_ptr<const PreparedWeightCache> cache)
{
    try {
        Lowering lowering(graph, options, std::move(cache));
        return lowering.run();
    } catch (const dnnl::error& e) {
        return unexpected(std::string("oneDNN failed: ") + e.what());
    } catch (const std::bad_alloc&) {
        return unexpected(std::string("not enough memory to prepare the network"));
    }
}

} // namespace pelorin::inference

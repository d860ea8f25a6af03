#include "engine/Inference/ComputeGraph.h"

#include "engine/Inference/ConstantFolder.h"

#include <onnx/onnx_pb.h>

#include <functional>
#include <map>
#include <queue>
#include <set>

namespace pelorin::inference {
namespace {

using Failure = Unexpected<std::string>;

// What a name stands for while the graph is walked: a constant or a computed value.
struct Binding {
    std::shared_ptr<const Tensor> constant;
    int value = -1;
};

std::string chooseOutput(const OnnxGraph& graph, const std::string& requested)
{
    if (!requested.empty())
        return requested;
    for (const auto& output : graph.outputs)
        if (output.name == "output")
            return output.name;
    return graph.outputs.empty() ? std::string() : graph.outputs.front().name;
}

// Nodes the chosen output depends on, in an order where producers come first; among ready nodes
// the file's order wins, so the schedule follows the exporter's (usually memory-friendly) order.
Result<std::vector<size_t>, std::string> scheduleNodes(const OnnxGraph& graph, const std::string& outputName)
{
    std::map<std::string, size_t> producer;
    std::set<std::string> sources;
    for (const auto& [name, tensor] : graph.initializers)
        sources.insert(name);
    for (const auto& input : graph.inputs)
        sources.insert(input.name);
    for (size_t i = 0; i < graph.nodes.size(); ++i)
        for (const auto& output : graph.nodes[i].outputs) {
            if (output.empty())
                continue;
            if (sources.contains(output) || !producer.emplace(output, i).second)
                return unexpected("value '" + output + "' is produced more than once (" + graph.nodes[i].label() + ")");
        }

    std::vector<bool> needed(graph.nodes.size(), false);
    std::vector<std::pair<std::string, std::string>> pending{{outputName, "the graph output"}};
    while (!pending.empty()) {
        auto [name, user] = pending.back();
        pending.pop_back();
        if (sources.contains(name))
            continue;
        auto it = producer.find(name);
        if (it == producer.end())
            return unexpected("value '" + name + "' used by " + user + " is produced by no node, initializer or input");
        if (needed[it->second])
            continue;
        needed[it->second] = true;
        const Node& node = graph.nodes[it->second];
        for (const auto& input : node.inputs)
            if (!input.empty())
                pending.emplace_back(input, node.label());
    }

    std::vector<int> waiting(graph.nodes.size(), 0);
    std::vector<std::vector<size_t>> users(graph.nodes.size());
    size_t neededCount = 0;
    for (size_t i = 0; i < graph.nodes.size(); ++i) {
        if (!needed[i])
            continue;
        ++neededCount;
        for (const auto& input : graph.nodes[i].inputs) {
            auto it = input.empty() ? producer.end() : producer.find(input);
            if (it != producer.end()) {
                ++waiting[i];
                users[it->second].push_back(i);
            }
        }
    }
    std::priority_queue<size_t, std::vector<size_t>, std::greater<>> ready;
    for (size_t i = 0; i < graph.nodes.size(); ++i)
        if (needed[i] && waiting[i] == 0)
            ready.push(i);
    std::vector<size_t> order;
    while (!ready.empty()) {
        const size_t i = ready.top();
        ready.pop();
        order.push_back(i);
        for (size_t user : users[i])
            if (--waiting[user] == 0)
                ready.push(user);
    }
    if (order.size() != neededCount)
        return unexpected(std::string("the graph has a cycle"));
    return order;
}

bool isFloatType(int64_t onnxType)
{
    using TP = onnx::TensorProto;
    return onnxType == TP::FLOAT || onnxType == TP::FLOAT16 || onnxType == TP::DOUBLE;
}

} // namespace

ComputeGraph pruneDeadOps(ComputeGraph graph)
{
    std::vector<bool> liveValue(graph.values.size(), false), liveOp(graph.ops.size(), false);
    liveValue[size_t(graph.output)] = true;
    for (size_t i = graph.ops.size(); i-- > 0;) {
        if (!liveValue[size_t(graph.ops[i].output)])
            continue;
        liveOp[i] = true;
        for (int input : graph.ops[i].inputs)
            liveValue[size_t(input)] = true;
    }
    liveValue[size_t(graph.input)] = true;

    ComputeGraph pruned;
    std::vector<int> newValue(graph.values.size(), -1);
    for (size_t v = 0; v < graph.values.size(); ++v)
        if (liveValue[v]) {
            newValue[v] = int(pruned.values.size());
            ComputeValue value = graph.values[v];
            value.producer = -1;
            value.consumers.clear();
            pruned.values.push_back(std::move(value));
        }
    for (size_t i = 0; i < graph.ops.size(); ++i) {
        if (!liveOp[i])
            continue;
        ComputeOp op = std::move(graph.ops[i]);
        const int index = int(pruned.ops.size());
        for (int& input : op.inputs) {
            input = newValue[size_t(input)];
            auto& consumers = pruned.values[size_t(input)].consumers;
            if (consumers.empty() || consumers.back() != index)
                consumers.push_back(index);
        }
        op.output = newValue[size_t(op.output)];
        pruned.values[size_t(op.output)].producer = index;
        pruned.ops.push_back(std::move(op));
    }
    pruned.input = newValue[size_t(graph.input)];
    pruned.output = newValue[size_t(graph.output)];
    return pruned;
}

double ComputeOp::flops(const ComputeGraph& graph) const
{
    if (kind != OpKind::convolution)
        return 0;
    const Dims& out = graph.values[size_t(output)].dims;
    const Dims& in = graph.values[size_t(inputs[0])].dims;
    return 2.0 * double(out[0]) * double(out[1]) * double(out[2]) * double(out[3]) * double(in[1])
        * double(convolution.kernel[0]) * double(convolution.kernel[1]);
}

double ComputeGraph::totalFlops() const
{
    double total = 0;
    for (const auto& op : ops)
        total += op.flops(*this);
    return total;
}

Result<ComputeGraph, std::string> ComputeGraph::build(const OnnxGraph& onnx, int64_t height, int64_t width,
                                                      const std::string& outputName)
{
    try {
        if (onnx.inputs.size() != 1)
            return unexpected("the model must have exactly one input; it has " + std::to_string(onnx.inputs.size()));
        const ValueInfo& input = onnx.inputs.front();
        if (input.onnxElementType != 0 && input.onnxElementType != onnx::TensorProto::FLOAT)
            return unexpected("input '" + input.name + "' is not a float tensor");
        if (input.hasShape && input.dims.size() != 4)
            return unexpected("input '" + input.name + "' is not a 4-D (N, C, H, W) tensor");
        if (input.hasShape && input.dims[0] > 1)
            return unexpected("input '" + input.name + "' has a batch size other than 1");
        const int64_t channels = input.hasShape && input.dims[1] > 0 ? input.dims[1] : 3;
        const std::string output = chooseOutput(onnx, outputName);
        if (output.empty())
            return unexpected(std::string("the model declares no output"));

        auto order = scheduleNodes(onnx, output);
        if (!order)
            return unexpected(order.error());

        ComputeGraph graph;
        std::map<std::string, Binding> bindings;
        for (const auto& [name, tensor] : onnx.initializers)
            bindings[name].constant = tensor;
        graph.values.push_back({input.name, {1, channels, height, width}, -1, {}});
        graph.input = 0;
        bindings[input.name] = {nullptr, 0};

        for (size_t index : *order) {
            const Node& node = onnx.nodes[index];
            std::vector<Operand> operands;
            bool allConstant = true;
            for (const auto& name : node.inputs) {
                Operand operand;
                if (!name.empty()) {
                    const Binding& binding = bindings.at(name); // present: producers come first
                    operand.constant = binding.constant;
                    operand.value = binding.value;
                    allConstant = allConstant && binding.constant;
                }
                operands.push_back(std::move(operand));
            }
            auto bindOutput = [&](Binding binding) -> Result<void, std::string> {
                if (node.outputs.empty() || node.outputs[0].empty())
                    return unexpected(node.label() + ": it has no output");
                for (size_t k = 1; k < node.outputs.size(); ++k)
                    if (!node.outputs[k].empty())
                        return unexpected(node.label() + ": output " + std::to_string(k) + " ('" + node.outputs[k]
                                          + "') is not supported");
                bindings[node.outputs[0]] = std::move(binding);
                return {};
            };

            if (node.op == "Shape") {
                if (operands.empty() || !operands[0].present())
                    return unexpected(node.label() + ": input 0 is missing");
                std::vector<int64_t> dims;
                if (operands[0].constant)
                    dims = operands[0].constant->dims;
                else
                    dims.assign(graph.values[size_t(operands[0].value)].dims.begin(),
                                graph.values[size_t(operands[0].value)].dims.end());
                auto folded = foldShape(node, dims);
                if (!folded)
                    return unexpected(folded.error());
                if (auto ok = bindOutput({std::make_shared<const Tensor>(std::move(*folded)), -1}); !ok)
                    return unexpected(ok.error());
            } else if (isFoldableOp(node.op) && allConstant) {
                std::vector<const Tensor*> inputs;
                for (const auto& operand : operands)
                    inputs.push_back(operand.constant.get());
                auto folded = foldConstantNode(node, inputs);
                if (!folded)
                    return unexpected(folded.error());
                if (auto ok = bindOutput({std::make_shared<const Tensor>(std::move(*folded)), -1}); !ok)
                    return unexpected(ok.error());
            } else if ((node.op == "Cast" || node.op == "Identity") && !operands.empty() && operands[0].value >= 0) {
                for (const auto& [key, attribute] : node.attributes)
                    if (key != "to" && key != "saturate")
                        return unexpected(node.label() + ": attribute '" + key + "' is not supported");
                if (node.op == "Cast") {
                    const Attribute* to = node.attribute("to");
                    if (!to || !isFloatType(to->i))
                        return unexpected(node.label() + ": casting a computed tensor to type "
                                          + std::to_string(to ? to->i : 0) + " is not supported (only float types)");
                }
                if (auto ok = bindOutput({nullptr, operands[0].value}); !ok)
                    return unexpected(ok.error());
            } else if (isComputeOp(node.op)) {
                Dims dims{};
                auto op = buildComputeOp(node, operands, graph.values, dims, onnx.opsetVersion);
                if (!op)
                    return unexpected(op.error());
                const int value = int(graph.values.size());
                if (auto ok = bindOutput({nullptr, value}); !ok)
                    return unexpected(ok.error());
                graph.values.push_back({node.outputs[0], dims, int(graph.ops.size()), {}});
                op->output = value;
                graph.ops.push_back(std::move(*op));
            } else if (isFoldableOp(node.op)) {
                return unexpected(node.label() + ": only constant inputs can be evaluated for this op, and '"
                                  + node.inputs.front() + "' is computed at run time");
            } else {
                return unexpected(node.label() + ": op '" + node.op + "' is not supported");
            }
        }

        const Binding& result = bindings.at(output);
        if (result.value < 0)
            return unexpected("output '" + output + "' is a constant");
        graph.output = result.value;
        return pruneDeadOps(std::move(graph));
    } catch (const std::bad_alloc&) {
        return unexpected(std::string("not enough memory to analyse the graph"));
    }
}

} // namespace pelorin::inference

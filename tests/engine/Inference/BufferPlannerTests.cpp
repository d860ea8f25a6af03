// The buffer planner on hand-made step sequences: reuse by liveness, in-place steps, concatenations
// as views, and the cases where sharing would corrupt a live buffer and must be declined. A brute
// force check replays every plan and verifies no live buffer's bytes are written by another step.
#include "engine/Inference/BufferPlanner.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace pelorin::inference {
namespace {

using Storage = BufferPlanner::Storage;
using Slices = std::vector<std::pair<int, size_t>>;

// A planner that remembers what it was asked, to check its plan against.
struct Steps {
    BufferPlanner planner;
    std::vector<size_t> bytes;
    std::vector<Storage> storage;
    std::vector<std::pair<std::vector<int>, std::vector<int>>> steps;
    std::set<std::pair<int, int>> inPlaces;        // (operand, result)
    std::map<int, std::pair<int, Slices>> concats; // step → output, inputs

    int buffer(size_t size, Storage where = Storage::arena)
    {
        bytes.push_back(size);
        storage.push_back(where);
        return planner.addBuffer(size, where);
    }
    int step(std::vector<int> reads, std::vector<int> writes)
    {
        steps.emplace_back(reads, writes);
        return planner.addStep(std::move(reads), std::move(writes));
    }
    int inPlace(std::vector<int> reads, int operand, int result)
    {
        const int s = step(std::move(reads), {result});
        planner.requestInPlace(s, operand, result);
        inPlaces.insert({operand, result});
        return s;
    }
    int concat(std::vector<int> reads, int output, Slices slices)
    {
        const int s = step(std::move(reads), {output});
        planner.requestConcatInPlace(s, output, slices);
        concats[s] = {output, slices};
        return s;
    }
    // A chain of `count` arena buffers of `size` after `from`; returns the last.
    int chain(int from, int count, size_t size)
    {
        for (int i = 0; i < count; ++i) {
            const int next = buffer(size);
            step({from}, {next});
            from = next;
        }
        return from;
    }

    // The plan, replayed: each step's written bytes must not belong to any other buffer that is
    // still to be read (unless that buffer is the step's in-place operand, or the write is an
    // elided view).
    BufferPlanner::Plan soundPlan() const
    {
        auto planned = planner.plan();
        EXPECT_TRUE(planned) << planned.error();
        if (!planned)
            return {};
        const auto& plan = *planned;
        std::vector<int> lastRead(bytes.size(), -1), written(bytes.size(), -1);
        for (size_t i = 0; i < steps.size(); ++i)
            for (int b : steps[i].first)
                lastRead[size_t(b)] = int(i);
        for (size_t b = 0; b < bytes.size(); ++b)
            if (storage[b] == Storage::externalOutput)
                lastRead[b] = int(steps.size());
        auto overlaps = [&](size_t a, size_t b) {
            const auto &la = plan.buffers[a], &lb = plan.buffers[b];
            return la.storage == lb.storage && la.offset < lb.offset + bytes[b] && lb.offset < la.offset + bytes[a];
        };
        for (size_t i = 0; i < steps.size(); ++i) {
            for (int w : steps[i].second) {
                written[size_t(w)] = int(i);
                if (plan.elidedSteps[i])
                    continue; // a view: nothing is written
                for (size_t other = 0; other < bytes.size(); ++other)
                    EXPECT_TRUE(int(other) == w || written[other] < 0 || lastRead[other] < int(i)
                                || !overlaps(size_t(w), other)
                                || (inPlaces.contains({int(other), w}) && lastRead[other] == int(i)))
                        << "step " << i << " writes buffer " << w << " over live buffer " << other;
            }
            // Elided concatenations: the inputs must already sit at their slices.
            for (const auto& [step, concat] : concats)
                for (const auto& [input, offset] : concat.second)
                    EXPECT_TRUE(!plan.elidedSteps[size_t(step)]
                                || plan.buffers[size_t(input)].offset
                                    == plan.buffers[size_t(concat.first)].offset + offset);
        }
        for (size_t b = 0; b < bytes.size(); ++b)
            EXPECT_LE(plan.buffers[b].storage == Storage::arena ? plan.buffers[b].offset + bytes[b] : 0,
                      plan.arenaBytes);
        return plan;
    }
};

TEST(BufferPlanner, ReusesBytesOfDeadBuffersInAChain)
{
    Steps s;
    const int output = s.buffer(1000, Storage::externalOutput);
    s.step({s.chain(s.buffer(1000, Storage::externalInput), 6, 1024)}, {output});
    const auto plan = s.soundPlan();
    EXPECT_EQ(plan.arenaBytes, 2048u) << "a chain needs only two live buffers at a time";
    EXPECT_EQ(plan.buffers[size_t(output)].storage, Storage::externalOutput);
}

TEST(BufferPlanner, InPlaceStepsShareTheirOperandsBytes)
{
    Steps s;
    const int input = s.buffer(256, Storage::externalInput);
    const int a = s.chain(input, 1, 256), b = s.buffer(256), c = s.buffer(256),
              out = s.buffer(256, Storage::externalOutput);
    s.inPlace({a}, a, b);
    s.inPlace({b, input}, b, c); // accumulates into b's bytes
    s.inPlace({c}, c, out);
    const auto plan = s.soundPlan();
    EXPECT_EQ(plan.arenaBytes, 0u) << "everything lives in the caller's output";
    for (int buffer : {a, b, c})
        EXPECT_EQ(plan.buffers[size_t(buffer)].storage, Storage::externalOutput);

    // An operand read after the step cannot be overwritten: the request is an error, not a corruption.
    Steps bad;
    const int y = bad.chain(bad.buffer(64, Storage::externalInput), 1, 64), z = bad.buffer(64);
    bad.inPlace({y}, y, z);
    bad.step({y, z}, {bad.buffer(64, Storage::externalOutput)});
    EXPECT_FALSE(bad.planner.plan());
}

TEST(BufferPlanner, ConcatenationIsAViewUnlessThatWouldClobberAnInput)
{
    // U-Net shape: skip = f(input); deep = g(skip); joined = concat(deep, skip); out = h(joined).
    Steps s;
    const int skip = s.chain(s.buffer(512, Storage::externalInput), 1, 512), deep = s.chain(skip, 1, 256);
    const int joined = s.buffer(768);
    const int concat = s.concat({deep, skip}, joined, {{deep, 0}, {skip, 256}});
    s.step({joined}, {s.buffer(64, Storage::externalOutput)});
    auto plan = s.soundPlan();
    EXPECT_TRUE(plan.elidedSteps[size_t(concat)]);
    EXPECT_EQ(plan.arenaBytes, 768u);

    // skip is read after the concatenation by an in-place step that overwrites joined: as a view,
    // skip's slice would be clobbered before its last read. (One buffer in two slices is OpSemantics'.)
    Steps late;
    const int skip2 = late.chain(late.buffer(512, Storage::externalInput), 1, 512), deep2 = late.chain(skip2, 1, 512);
    const int joined2 = late.buffer(1024), relu = late.buffer(1024);
    const int concat2 = late.concat({deep2, skip2}, joined2, {{deep2, 0}, {skip2, 512}});
    late.inPlace({joined2}, joined2, relu);
    late.step({relu, skip2}, {late.buffer(64, Storage::externalOutput)});
    EXPECT_FALSE(late.soundPlan().elidedSteps[size_t(concat2)]);
}

} // namespace
} // namespace pelorin::inference

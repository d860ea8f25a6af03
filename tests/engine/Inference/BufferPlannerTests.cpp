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

struct Steps {
    BufferPlanner planner;
    std::vector<size_t> bytes;
    std::vector<Storage> storage;
    std::vector<std::pair<std::vector<int>, std::vector<int>>> steps;
    std::set<std::pair<int, int>> inPlace;                 // (operand, result)
    std::map<int, std::pair<int, std::vector<std::pair<int, size_t>>>> concats; // step → output, inputs

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
};

// Replays the plan: each step's written bytes must not belong to any other buffer that is still
// to be read (unless that buffer is the step's in-place operand, or the write is an elided view).
void expectSound(const Steps& s, const BufferPlanner::Plan& plan)
{
    std::vector<int> lastRead(s.bytes.size(), -1);
    for (size_t i = 0; i < s.steps.size(); ++i)
        for (int b : s.steps[i].first)
            lastRead[size_t(b)] = int(i);
    for (size_t b = 0; b < s.bytes.size(); ++b)
        if (s.storage[b] == Storage::externalOutput)
            lastRead[b] = int(s.steps.size());
    auto overlaps = [&](int a, int b) {
        const auto &la = plan.buffers[size_t(a)], &lb = plan.buffers[size_t(b)];
        return la.storage == lb.storage && la.offset < lb.offset + s.bytes[size_t(b)] &&
               lb.offset < la.offset + s.bytes[size_t(a)];
    };
    std::vector<int> written(s.bytes.size(), -1);
    for (size_t i = 0; i < s.steps.size(); ++i) {
        for (int w : s.steps[i].second) {
            written[size_t(w)] = int(i);
            if (plan.elidedSteps[i])
                continue; // a view: nothing is written
            for (size_t other = 0; other < s.bytes.size(); ++other) {
                if (int(other) == w || written[other] < 0 || lastRead[other] < int(i) || !overlaps(w, int(other)))
                    continue;
                const bool operand = s.inPlace.contains({int(other), w}) && lastRead[other] == int(i);
                EXPECT_TRUE(operand) << "step " << i << " writes buffer " << w << " over live buffer " << other;
            }
        }
        // Elided concatenations: the inputs must already sit at their slices.
        for (const auto& [step, concat] : s.concats)
            if (plan.elidedSteps[size_t(step)])
                for (const auto& [input, offset] : concat.second)
                    EXPECT_EQ(plan.buffers[size_t(input)].offset, plan.buffers[size_t(concat.first)].offset + offset);
    }
    for (size_t b = 0; b < s.bytes.size(); ++b)
        if (plan.buffers[b].storage == Storage::arena)
            EXPECT_LE(plan.buffers[b].offset + s.bytes[b], plan.arenaBytes);
}

TEST(BufferPlanner, ReusesBytesOfDeadBuffersInAChain)
{
    Steps s;
    const int input = s.buffer(1000, Storage::externalInput);
    int previous = input;
    for (int i = 0; i < 6; ++i) {
        const int next = s.buffer(1024);
        s.step({previous}, {next});
        previous = next;
    }
    const int output = s.buffer(1000, Storage::externalOutput);
    s.step({previous}, {output});
    auto plan = s.planner.plan();
    ASSERT_TRUE(plan) << plan.error();
    EXPECT_EQ(plan->arenaBytes, 2048u) << "a chain needs only two live buffers at a time";
    EXPECT_EQ(plan->buffers[size_t(output)].storage, Storage::externalOutput);
    expectSound(s, *plan);
}

TEST(BufferPlanner, InPlaceStepsShareTheirOperandsBytes)
{
    Steps s;
    const int input = s.buffer(256, Storage::externalInput);
    const int a = s.buffer(256), b = s.buffer(256), c = s.buffer(256), out = s.buffer(256, Storage::externalOutput);
    s.step({input}, {a});
    const int relu = s.step({a}, {b});
    s.planner.requestInPlace(relu, a, b);
    s.inPlace.insert({a, b});
    const int sum = s.step({b, input}, {c}); // accumulates into b's bytes
    s.planner.requestInPlace(sum, b, c);
    s.inPlace.insert({b, c});
    const int last = s.step({c}, {out});
    s.planner.requestInPlace(last, c, out);
    s.inPlace.insert({c, out});
    auto plan = s.planner.plan();
    ASSERT_TRUE(plan) << plan.error();
    EXPECT_EQ(plan->arenaBytes, 0u) << "everything lives in the caller's output";
    for (int buffer : {a, b, c})
        EXPECT_EQ(plan->buffers[size_t(buffer)].storage, Storage::externalOutput);
    expectSound(s, *plan);

    // An operand read after the step cannot be overwritten: the request is an error, not a corruption.
    Steps bad;
    const int x = bad.buffer(64, Storage::externalInput), y = bad.buffer(64), z = bad.buffer(64),
              o = bad.buffer(64, Storage::externalOutput);
    bad.step({x}, {y});
    const int inPlaceStep = bad.step({y}, {z});
    bad.step({y, z}, {o});
    bad.planner.requestInPlace(inPlaceStep, y, z);
    EXPECT_FALSE(bad.planner.plan());
}

TEST(BufferPlanner, ConcatenationBecomesAViewWhenNothingClobbersItsInputs)
{
    // U-Net shape: skip = f(input); deep = g(skip); joined = concat(deep, skip); out = h(joined).
    Steps s;
    const int input = s.buffer(512, Storage::externalInput);
    const int skip = s.buffer(512), deep = s.buffer(256), joined = s.buffer(768);
    const int out = s.buffer(64, Storage::externalOutput);
    s.step({input}, {skip});
    s.step({skip}, {deep});
    const int concat = s.step({deep, skip}, {joined});
    s.planner.requestConcatInPlace(concat, joined, {{deep, 0}, {skip, 256}});
    s.concats[concat] = {joined, {{deep, 0}, {skip, 256}}};
    s.step({joined}, {out});
    auto plan = s.planner.plan();
    ASSERT_TRUE(plan) << plan.error();
    EXPECT_TRUE(plan->elidedSteps[size_t(concat)]);
    EXPECT_EQ(plan->arenaBytes, 768u);
    expectSound(s, *plan);
}

TEST(BufferPlanner, ConcatenationKeepsItsStepWhenAViewWouldBeOverwritten)
{
    // skip is read after the concatenation by an in-place step that overwrites joined: as a view,
    // skip's slice would be clobbered before its last read.
    Steps s;
    const int input = s.buffer(512, Storage::externalInput);
    const int skip = s.buffer(512), deep = s.buffer(512), joined = s.buffer(1024), relu = s.buffer(1024);
    const int out = s.buffer(64, Storage::externalOutput);
    s.step({input}, {skip});
    s.step({skip}, {deep});
    const int concat = s.step({deep, skip}, {joined});
    s.planner.requestConcatInPlace(concat, joined, {{deep, 0}, {skip, 512}});
    s.concats[concat] = {joined, {{deep, 0}, {skip, 512}}};
    const int inPlace = s.step({joined}, {relu});
    s.planner.requestInPlace(inPlace, joined, relu);
    s.inPlace.insert({joined, relu});
    s.step({relu, skip}, {out});
    auto plan = s.planner.plan();
    ASSERT_TRUE(plan) << plan.error();
    EXPECT_FALSE(plan->elidedSteps[size_t(concat)]);
    expectSound(s, *plan);

    // The same buffer in two slices of one concatenation cannot be a view either.
    Steps twice;
    const int in2 = twice.buffer(128, Storage::externalInput), a = twice.buffer(128), both = twice.buffer(256);
    const int out2 = twice.buffer(64, Storage::externalOutput);
    twice.step({in2}, {a});
    const int c2 = twice.step({a}, {both});
    twice.planner.requestConcatInPlace(c2, both, {{a, 0}, {a, 128}});
    twice.step({both}, {out2});
    auto plan2 = twice.planner.plan();
    ASSERT_TRUE(plan2);
    EXPECT_FALSE(plan2->elidedSteps[size_t(c2)]);
}

} // namespace
} // namespace pelorin::inference

// ScriptedProcessor: a batch processor whose runs the test plays. Each process() call records its
// jobs and hands out a fresh stream; the test yields the events the real processor would and
// finishes the stream. Cancelling counts, and may call a hook on the cancelling thread.
#pragma once

#include "engine/Services/BatchProcessing.h"

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace pelorin::test {

struct ScriptedProcessor final : BatchProcessing {
    struct Run {
        std::vector<ProcessingJob> jobs;
        BatchProcessingHandle::EventStream::Continuation events;
        std::shared_ptr<std::atomic<int>> cancels = std::make_shared<std::atomic<int>>(0);
    };
    mutable std::vector<Run> runs;
    std::function<void(const Run&)> onCancel;

    BatchProcessingHandle process(std::vector<ProcessingJob> jobs) const override
    {
        auto [stream, continuation] = BatchProcessingHandle::EventStream::make();
        Run run{std::move(jobs), continuation};
        runs.push_back(run);
        return BatchProcessingHandle(std::move(stream), [run, hook = onCancel] {
            ++*run.cancels;
            if (hook)
                hook(run);
        });
    }
};

} // namespace pelorin::test

#include "engine/Common/TaskGroup.h"

namespace pelorin {

void TaskGroup::spawn(std::function<void()> task)
{
    std::lock_guard lock(mutex_);
    const uint64_t id = nextId_++;
    // The child reports itself done under the same lock, so it is always found in threads_.
    threads_.emplace(id, std::thread([this, id, task = std::move(task)] {
                         task();
                         {
                             std::lock_guard doneLock(mutex_);
                             done_.push_back(id);
                         }
                         finished_.notify_all();
                     }));
}

bool TaskGroup::waitForAny(std::stop_token stop)
{
    std::thread finished;
    {
        std::unique_lock lock(mutex_);
        if (threads_.empty())
            return false;
        if (!finished_.wait(lock, stop, [&] { return !done_.empty(); }))
            return false;
        const uint64_t id = done_.back();
        done_.pop_back();
        auto node = threads_.extract(id);
        finished = std::move(node.mapped());
    }
    finished.join();
    return true;
}

void TaskGroup::waitAll()
{
    while (waitForAny()) {}
}

size_t TaskGroup::running() const
{
    std::lock_guard lock(mutex_);
    return threads_.size() - done_.size();
}

} // namespace pelorin

// TaskGroup: child threads of one scheduling thread, joined as they finish. The scheduler can wait
// for any one child (or for a stop request) and finally for all; finished threads are reaped so a
// long batch never accumulates them. The destructor waits for every child.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

namespace pelorin {

class TaskGroup {
public:
    TaskGroup() = default;
    TaskGroup(const TaskGroup&) = delete;
    TaskGroup& operator=(const TaskGroup&) = delete;
    ~TaskGroup() { waitAll(); }

    // Starts `task` on a new thread. Throws std::system_error when no thread can be made.
    // `task` must not throw.
    void spawn(std::function<void()> task);

    // Joins one finished child, waiting for it; true then. False without waiting when no child
    // is running, or as soon as `stop` is requested while waiting.
    bool waitForAny(std::stop_token stop = {});

    void waitAll();

    size_t running() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable_any finished_;
    std::map<uint64_t, std::thread> threads_;
    std::vector<uint64_t> done_;
    uint64_t nextId_ = 0;
};

} // namespace pelorin

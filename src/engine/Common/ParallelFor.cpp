#include "engine/Common/ParallelFor.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace pelorin {

namespace {

// One parallelFor call: chunks are claimed through an atomic counter by the caller and by any
// worker that picks the loop up; the caller waits until every claimed chunk has finished.
struct Loop {
    const std::function<void(size_t, size_t)>* body;
    size_t count;
    size_t chunk;
    size_t chunks;
    std::atomic<size_t> next{0};
    std::atomic<size_t> done{0};
    std::mutex mutex;
    std::condition_variable finished;

    // Runs chunks until none is left to claim.
    void work()
    {
        size_t ran = 0;
        for (size_t i; (i = next.fetch_add(1)) < chunks; ++ran) {
            const size_t begin = i * chunk;
            (*body)(begin, std::min(count, begin + chunk));
        }
        if (ran != 0 && done.fetch_add(ran) + ran == chunks) {
            std::lock_guard lock(mutex);
            finished.notify_all();
        }
    }
};

class WorkerPool {
public:
    explicit WorkerPool(size_t workers)
    {
        for (size_t i = 0; i < workers; ++i)
            threads_.emplace_back([this] { run(); });
    }
    ~WorkerPool()
    {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (auto& t : threads_)
            t.join();
    }

    size_t workers() const { return threads_.size(); }

    void post(const std::shared_ptr<Loop>& loop, size_t helpers)
    {
        {
            std::lock_guard lock(mutex_);
            for (size_t i = 0; i < helpers; ++i)
                queue_.push_back(loop);
        }
        wake_.notify_all();
    }

private:
    void run()
    {
        for (;;) {
            std::shared_ptr<Loop> loop;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (queue_.empty())
                    return;
                loop = std::move(queue_.front());
                queue_.pop_front();
            }
            loop->work();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Loop>> queue_;
    std::vector<std::thread> threads_;
    bool stopping_ = false;
};

WorkerPool& pool()
{
    static WorkerPool instance(threadBudget() - 1);
    return instance;
}

} // namespace

size_t threadBudget()
{
    static const size_t budget = std::max<size_t>(1, std::thread::hardware_concurrency());
    return budget;
}

void parallelFor(size_t count, const std::function<void(size_t begin, size_t end)>& body)
{
    if (count == 0)
        return;
    auto& workers = pool();
    // A few chunks per thread balance uneven rows without much claiming overhead.
    const size_t target = std::min(count, (workers.workers() + 1) * 4);
    if (workers.workers() == 0 || target <= 1) {
        body(0, count);
        return;
    }
    auto loop = std::make_shared<Loop>();
    loop->body = &body;
    loop->count = count;
    loop->chunk = (count + target - 1) / target;
    loop->chunks = (count + loop->chunk - 1) / loop->chunk;
    workers.post(loop, std::min(workers.workers(), loop->chunks - 1));
    loop->work();
    std::unique_lock lock(loop->mutex);
    loop->finished.wait(lock, [&] { return loop->done.load() == loop->chunks; });
}

} // namespace pelorin

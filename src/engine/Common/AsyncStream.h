// AsyncStream<T>: an unbounded, thread-safe event stream with many producers and one consumer.
// Producers hold copies of the Continuation; the consumer owns the AsyncStream. Yielding never
// blocks. The stream terminates once: when a producer finishes it, or when the consumer is
// destroyed (or calls terminate()); the termination handler then runs exactly once, on the thread
// that caused it. Values yielded after termination are dropped silently. A finished stream still
// hands out what it had buffered; a stream the consumer dropped discards its buffer.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace pelorin {

template <typename T>
class AsyncStream {
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<T> buffer;
        bool finished = false;  // no more values will come
        bool abandoned = false; // the consumer is gone
        std::function<void()> onTermination;
        std::function<void()> onAvailable;
    };

public:
    // The producer side: cheap to copy, safe to use from any thread.
    class Continuation {
    public:
        // Appends a value; false (and the value dropped) once the stream has terminated.
        bool yield(T value) const
        {
            std::function<void()> notify;
            {
                std::lock_guard lock(state_->mutex);
                if (state_->finished || state_->abandoned)
                    return false;
                state_->buffer.push_back(std::move(value));
                notify = state_->onAvailable;
            }
            state_->changed.notify_all();
            if (notify)
                notify();
            return true;
        }

        // Ends the stream after the values already yielded. Idempotent.
        void finish() const
        {
            std::function<void()> handler;
            std::function<void()> notify;
            {
                std::lock_guard lock(state_->mutex);
                if (state_->finished)
                    return;
                state_->finished = true;
                if (!state_->abandoned) {
                    handler = std::move(state_->onTermination);
                    state_->onTermination = nullptr;
                }
                notify = state_->onAvailable;
            }
            state_->changed.notify_all();
            if (handler)
                handler();
            if (notify)
                notify();
        }

        // Runs `handler` once when the stream terminates, by finish() or by the consumer leaving;
        // at once if it already has.
        void setOnTermination(std::function<void()> handler) const
        {
            {
                std::lock_guard lock(state_->mutex);
                if (!state_->finished && !state_->abandoned) {
                    state_->onTermination = std::move(handler);
                    return;
                }
            }
            if (handler)
                handler();
        }

    private:
        friend class AsyncStream;
        explicit Continuation(std::shared_ptr<State> state) : state_(std::move(state)) {}
        std::shared_ptr<State> state_;
    };

    // A new stream and its producer side.
    static std::pair<AsyncStream, Continuation> make()
    {
        auto state = std::make_shared<State>();
        return {AsyncStream(state), Continuation(state)};
    }

    AsyncStream(AsyncStream&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
    AsyncStream& operator=(AsyncStream&& other) noexcept
    {
        if (this != &other) {
            terminate();
            state_ = std::exchange(other.state_, nullptr);
        }
        return *this;
    }
    AsyncStream(const AsyncStream&) = delete;
    AsyncStream& operator=(const AsyncStream&) = delete;
    ~AsyncStream() { terminate(); }

    // The next value, waiting for it; nothing once the stream has finished and is drained.
    std::optional<T> next()
    {
        std::unique_lock lock(state_->mutex);
        state_->changed.wait(lock, [&] { return !state_->buffer.empty() || state_->finished || state_->abandoned; });
        return popLocked();
    }

    // The next value if one is buffered, without waiting.
    std::optional<T> tryNext()
    {
        std::lock_guard lock(state_->mutex);
        return popLocked();
    }

    // True once the stream has finished and every buffered value has been taken.
    bool isDrained() const
    {
        std::lock_guard lock(state_->mutex);
        return state_->buffer.empty() && (state_->finished || state_->abandoned);
    }

    // Called, on the producing thread, after each value is yielded and when the stream finishes,
    // so a consumer on an event loop can schedule itself; the callback must not block. It is
    // called once at once when values or the end are already waiting.
    void setOnAvailable(std::function<void()> callback)
    {
        bool pending;
        {
            std::lock_guard lock(state_->mutex);
            state_->onAvailable = callback;
            pending = !state_->buffer.empty() || state_->finished;
        }
        if (pending && callback)
            callback();
    }

    // The consumer leaves: buffered values are dropped, later ones discarded, and the termination
    // handler runs if the stream had not finished. Idempotent.
    void terminate()
    {
        if (!state_)
            return;
        std::function<void()> handler;
        {
            std::lock_guard lock(state_->mutex);
            if (state_->abandoned)
                return;
            state_->abandoned = true;
            state_->buffer.clear();
            state_->onAvailable = nullptr;
            handler = std::move(state_->onTermination);
            state_->onTermination = nullptr;
        }
        state_->changed.notify_all();
        if (handler)
            handler();
    }

private:
    explicit AsyncStream(std::shared_ptr<State> state) : state_(std::move(state)) {}

    std::optional<T> popLocked()
    {
        if (state_->buffer.empty())
            return std::nullopt;
        T value = std::move(state_->buffer.front());
        state_->buffer.pop_front();
        return value;
    }

    std::shared_ptr<State> state_;
};

} // namespace pelorin

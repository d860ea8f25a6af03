// ByteBudget: a cap on the request bodies held in memory at once, shared by every connection.
// A request reserves what it holds (its announced length up front, a chunked body as it grows)
// and gives it back when it ends; a reservation that would pass the cap fails, so a burst of large
// uploads is refused instead of buffered. Thread-safe.
#pragma once

#include <atomic>
#include <cstddef>

namespace pelorin {

class ByteBudget {
public:
    explicit ByteBudget(size_t capacity) : capacity_(capacity) {}

    class Reservation {
    public:
        explicit Reservation(ByteBudget& budget) : budget_(budget) {}
        Reservation(const Reservation&) = delete;
        Reservation& operator=(const Reservation&) = delete;
        ~Reservation() { budget_.used_ -= held_; }

        // Holds at least `bytes` in all; false (holding what it held) when the cap would be passed.
        bool growTo(size_t bytes)
        {
            if (bytes <= held_)
                return true;
            const size_t more = bytes - held_;
            size_t used = budget_.used_.load();
            do {
                if (used + more > budget_.capacity_)
                    return false;
            } while (!budget_.used_.compare_exchange_weak(used, used + more));
            held_ = bytes;
            return true;
        }

    private:
        ByteBudget& budget_;
        size_t held_ = 0;
    };

    size_t used() const { return used_; }

private:
    const size_t capacity_;
    std::atomic<size_t> used_ = 0;
};

} // namespace pelorin

// AdmissionGate: lets at most `slots` callers work at once and at most `queueLimit` more wait for
// a slot, served in order of arrival; anyone beyond both is refused at once, so a burst costs a
// quick refusal rather than memory. Thread-safe; a Ticket gives its slot back when destroyed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

namespace pelorin {

class AdmissionGate {
public:
    class Ticket {
    public:
        Ticket(Ticket&& other) noexcept : gate_(other.gate_) { other.gate_ = nullptr; }
        Ticket& operator=(Ticket&&) = delete;
        Ticket(const Ticket&) = delete;
        ~Ticket();

    private:
        friend class AdmissionGate;
        explicit Ticket(AdmissionGate* gate) : gate_(gate) {}
        AdmissionGate* gate_;
    };

    // Values below 1 slot mean 1; below 0 waiting mean 0.
    AdmissionGate(int slots, int queueLimit);
    AdmissionGate(const AdmissionGate&) = delete;
    AdmissionGate& operator=(const AdmissionGate&) = delete;

    // A slot, after waiting for one when all are taken and the queue has room; nothing when the
    // queue is full. The gate must outlive every ticket.
    std::optional<Ticket> enter();

    int slots() const { return slots_; }
    int queueLimit() const { return queueLimit_; }
    int running() const;
    int waiting() const;

private:
    void leave();

    const int slots_;
    const int queueLimit_;
    mutable std::mutex mutex_;
    std::condition_variable freed_;
    int running_ = 0;
    int waiting_ = 0;
    uint64_t nextPlace_ = 0;   // given to the next caller that has to wait
    uint64_t servedPlace_ = 0; // the waiter whose turn it is
};

} // namespace pelorin

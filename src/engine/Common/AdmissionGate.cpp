#include "engine/Common/AdmissionGate.h"

#include <algorithm>

namespace pelorin {

AdmissionGate::Ticket::~Ticket()
{
    if (gate_)
        gate_->leave();
}

AdmissionGate::AdmissionGate(int slots, int queueLimit)
    : slots_(std::max(1, slots)),
      queueLimit_(std::max(0, queueLimit))
{
}

std::optional<AdmissionGate::Ticket> AdmissionGate::enter()
{
    std::unique_lock lock(mutex_);
    if (running_ < slots_ && waiting_ == 0) {
        ++running_;
        return Ticket(this);
    }
    if (waiting_ >= queueLimit_)
        return std::nullopt;
    // First come, first served: a newcomer never takes a freed slot from one already waiting, so
    // no waiter can be passed over again and again.
    const uint64_t place = nextPlace_++;
    ++waiting_;
    freed_.wait(lock, [&] { return running_ < slots_ && place == servedPlace_; });
    ++servedPlace_;
    --waiting_;
    ++running_;
    freed_.notify_all(); // the next in line may fit too
    return Ticket(this);
}

int AdmissionGate::running() const
{
    std::lock_guard lock(mutex_);
    return running_;
}

int AdmissionGate::waiting() const
{
    std::lock_guard lock(mutex_);
    return waiting_;
}

void AdmissionGate::leave()
{
    {
        std::lock_guard lock(mutex_);
        --running_;
    }
    freed_.notify_all(); // only the first in line proceeds; the others wait on
}

} // namespace pelorin

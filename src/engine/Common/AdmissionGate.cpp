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
    if (running_ < slots_) {
        ++running_;
        return Ticket(this);
    }
    if (waiting_ >= queueLimit_)
        return std::nullopt;
    ++waiting_;
    freed_.wait(lock, [this] { return running_ < slots_; });
    --waiting_;
    ++running_;
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
    freed_.notify_one();
}

} // namespace pelorin

#include "app/ViewModels/RunFollower.h"

#include <QMetaObject>

#include <mutex>

namespace pelorin {

// Shared by the follower and the callback the stream keeps, which may be running on a worker
// thread while the follower goes away: `receiver` is only used under `mutex`.
struct ProcessingViewModel::RunFollower::Wakeup {
    std::mutex mutex;
    QObject* receiver = nullptr;
    std::function<void()> drain;
    bool scheduled = false;
};

ProcessingViewModel::RunFollower::RunFollower(BatchProcessingHandle::EventStream events, QObject* receiver,
                                              std::function<void()> drain)
    : wakeup_(std::make_shared<Wakeup>()),
      events_(std::move(events))
{
    wakeup_->receiver = receiver;
    wakeup_->drain = std::move(drain);
    events_.setOnAvailable([wakeup = wakeup_] {
        std::lock_guard lock(wakeup->mutex);
        if (!wakeup->receiver || wakeup->scheduled)
            return;
        wakeup->scheduled = true;
        // Posted while holding the lock: the receiver cannot be destroyed in between, and once it
        // is, Qt discards the calls still queued for it.
        QMetaObject::invokeMethod(
            wakeup->receiver,
            [wakeup] {
                std::function<void()> drain;
                {
                    std::lock_guard lock(wakeup->mutex);
                    if (!wakeup->receiver)
                        return; // the follower is gone; its run no longer concerns anyone
                    drain = wakeup->drain;
                }
                drain();
            },
            Qt::QueuedConnection);
    });
}

ProcessingViewModel::RunFollower::~RunFollower()
{
    {
        std::lock_guard lock(wakeup_->mutex);
        wakeup_->receiver = nullptr;
    }
    events_.terminate();
}

void ProcessingViewModel::RunFollower::beginDrain()
{
    std::lock_guard lock(wakeup_->mutex);
    wakeup_->scheduled = false;
}

std::optional<BatchProcessingEvent> ProcessingViewModel::RunFollower::next()
{
    return events_.tryNext();
}

bool ProcessingViewModel::RunFollower::isDrained() const
{
    return events_.isDrained();
}

} // namespace pelorin

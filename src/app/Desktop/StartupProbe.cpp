#include "app/Desktop/StartupProbe.h"

#include <QEvent>
#include <QTimer>
#include <QWindow>

#include <chrono>
#include <cstdio>

namespace pelorin {

std::optional<int> StartupProbe::requestedDelay()
{
    bool ok = false;
    const int delay = qEnvironmentVariableIntValue("PELORIN_EXIT_AFTER_SHOWN_MS", &ok);
    if (!ok || delay < 0)
        return std::nullopt;
    return delay;
}

StartupProbe::StartupProbe(QWidget* window, int quitAfterMs, QElapsedTimer sinceStart, QObject* parent)
    : QObject(parent),
      window_(window),
      quitAfterMs_(quitAfterMs),
      sinceStart_(sinceStart)
{
    if (QWindow* handle = window->windowHandle())
        handle->installEventFilter(this);
}

bool StartupProbe::eventFilter(QObject* watched, QEvent* event)
{
    auto* handle = qobject_cast<QWindow*>(watched);
    if (!reported_ && event->type() == QEvent::Expose && handle && handle->isExposed()) {
        reported_ = true;
        const auto wallClock =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch());
        std::printf("pelorin: window shown %lld ms after main, %dx%d, wall clock %lld ns\n",
                    static_cast<long long>(sinceStart_.elapsed()), handle->width(), handle->height(),
                    static_cast<long long>(wallClock.count()));
        std::fflush(stdout);
        QTimer::singleShot(quitAfterMs_, this, [this] {
            if (window_)
                window_->close();
        });
    }
    return QObject::eventFilter(watched, event);
}

} // namespace pelorin

// StartupProbe: a start-up check for scripts. When PELORIN_EXIT_AFTER_SHOWN_MS=N is set, it
// prints one line when the window is first exposed on screen (milliseconds since main() began,
// and the wall clock in nanoseconds so a script can measure from the launch), then closes the
// window N milliseconds later so the application quits through its normal path.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QWidget>

#include <optional>

namespace pelorin {

class StartupProbe final : public QObject {
    Q_OBJECT

public:
    // The delay from PELORIN_EXIT_AFTER_SHOWN_MS; empty when unset or not a number ≥ 0.
    static std::optional<int> requestedDelay();

    // Watches `window`, which must already be shown (so it has its native window). `sinceStart`
    // runs from the start of main().
    StartupProbe(QWidget* window, int quitAfterMs, QElapsedTimer sinceStart, QObject* parent = nullptr);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<QWidget> window_;
    int quitAfterMs_;
    QElapsedTimer sinceStart_;
    bool reported_ = false;
};

} // namespace pelorin

// SpinnerIcon: an indeterminate progress indicator drawn as a turning arc, handed out as icon
// frames so a button, label or list cell can show it in place of a symbol (e.g. the white spinner
// of "Cancelling…").
// Animates only between start() and stop(). GUI thread only.
#pragma once

#include <QColor>
#include <QIcon>
#include <QObject>
#include <QTimer>

namespace pelorin {

class SpinnerIcon final : public QObject {
    Q_OBJECT
public:
    explicit SpinnerIcon(QColor color, QObject* parent = nullptr);

    void start();
    void stop();
    bool isSpinning() const { return timer_.isActive(); }

    // The current frame, sharp at any icon size.
    QIcon frame() const;

signals:
    // A new frame is due; read it with frame().
    void frameChanged();

private:
    QColor color_;
    QTimer timer_;
    int step_ = 0;
};

} // namespace pelorin

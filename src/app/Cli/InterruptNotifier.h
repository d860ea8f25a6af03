// InterruptNotifier: turns SIGINT and SIGTERM into a Qt signal on the GUI thread, so the first
// Ctrl-C cancels a run exactly like the Cancel button. The handler only writes a byte to a
// self-pipe (async-signal-safe); a QSocketNotifier on the other end emits `interrupted`. A second
// signal while the first is pending or being honoured ends the process at once with _exit.
//
// One instance per process, created on the GUI thread after QCoreApplication; its destructor
// restores the default dispositions.
#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

namespace pelorin::cli {

class InterruptNotifier final : public QObject {
    Q_OBJECT
public:
    // `forcedExitStatus` is what the second signal exits with.
    explicit InterruptNotifier(int forcedExitStatus, QObject* parent = nullptr);
    ~InterruptNotifier() override;

    InterruptNotifier(const InterruptNotifier&) = delete;
    InterruptNotifier& operator=(const InterruptNotifier&) = delete;

    // False when the pipe or the handlers could not be set up (interrupts then kill the process).
    bool isActive() const { return notifier_ != nullptr; }

signals:
    // The first SIGINT or SIGTERM arrived; `signalNumber` says which.
    void interrupted(int signalNumber);

private:
    void drainPipe();

    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace pelorin::cli

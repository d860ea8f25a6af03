#include "app/Cli/InterruptNotifier.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace pelorin::cli {

namespace {

// Shared with the handler, so only lock-free atomics and plain descriptors.
volatile std::sig_atomic_t interruptCount = 0;
int pipeFds[2] = {-1, -1};
int forcedStatus = 130;

void onSignal(int signalNumber)
{
    if (interruptCount > 0)
        _exit(forcedStatus);
    interruptCount = 1;
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // A full pipe already holds a wake-up; nothing else can be done here.
    [[maybe_unused]] const ssize_t written = ::write(pipeFds[1], &byte, 1);
    errno = savedErrno;
}

bool makePipe()
{
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        pipeFds[0] = pipeFds[1] = -1;
        return false;
    }
    return true;
}

void closePipe()
{
    for (int& fd : pipeFds) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

bool installHandler(int signalNumber, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    // Both signals blocked while either handler runs, so two arriving together count as two.
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    // Restart interrupted system calls so Qt's event loop and file I/O are not disturbed.
    action.sa_flags = SA_RESTART;
    return ::sigaction(signalNumber, &action, nullptr) == 0;
}

} // namespace

InterruptNotifier::InterruptNotifier(int forcedExitStatus, QObject* parent) : QObject(parent)
{
    forcedStatus = forcedExitStatus;
    interruptCount = 0;
    if (!makePipe())
        return;
    notifier_ = std::make_unique<QSocketNotifier>(pipeFds[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { drainPipe(); });
    if (!installHandler(SIGINT, onSignal) || !installHandler(SIGTERM, onSignal)) {
        installHandler(SIGINT, SIG_DFL);
        installHandler(SIGTERM, SIG_DFL);
        notifier_.reset();
        closePipe();
    }
}

InterruptNotifier::~InterruptNotifier()
{
    if (!notifier_)
        return;
    installHandler(SIGINT, SIG_DFL);
    installHandler(SIGTERM, SIG_DFL);
    notifier_.reset();
    closePipe();
}

void InterruptNotifier::drainPipe()
{
    unsigned char byte = 0;
    int lastSignal = 0;
    while (::read(pipeFds[0], &byte, 1) == 1)
        lastSignal = byte;
    if (lastSignal != 0)
        emit interrupted(lastSignal);
}

} // namespace pelorin::cli

#include "service/qtservicesignalpipe.h"
#include "service/servicelogging.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Process-wide, as signal dispositions are. Written only by the constructor and destructor of
// the one instance, on its thread: the write end for the async-signal-safe handler (-1 while no
// pipe is installed), and the dispositions to restore.
volatile sig_atomic_t s_write_fd = -1;

// SIGHUP: the terminal of a foreground run closed; it ends the run as cleanly as the others.
constexpr int s_signals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction s_previous[std::size(s_signals)];

extern "C" void forwardSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    if (s_write_fd >= 0 && ::write(s_write_fd, &byte, 1) < 0) {
        // pipe full: a stop request is already pending, so losing this one is harmless
    }
    errno = savedErrno;
}

} // namespace

QtServiceSignalPipe::QtServiceSignalPipe(QObject *parent) : QObject(parent)
{
    if (::pipe2(m_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_error = qt_error_string(errno);
        qCWarning(lcService, "QtServiceSignalPipe: cannot create the signal pipe");
        return;
    }
    s_write_fd = m_fds[1];
    struct sigaction action = {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(s_signals); ++i)
        ::sigaction(s_signals[i], &action, &s_previous[i]);

    m_notifier = std::make_unique<QSocketNotifier>(m_fds[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &QtServiceSignalPipe::onReadable);
}

QtServiceSignalPipe::~QtServiceSignalPipe()
{
    if (m_fds[0] < 0)
        return;
    for (size_t i = 0; i < std::size(s_signals); ++i)
        ::sigaction(s_signals[i], &s_previous[i], nullptr);
    s_write_fd = -1;
    m_notifier.reset();
    ::close(m_fds[0]);
    ::close(m_fds[1]);
}

void QtServiceSignalPipe::onReadable()
{
    unsigned char byte = 0;
    while (::read(m_fds[0], &byte, 1) == 1)
        Q_EMIT signalReceived(int(byte));
}

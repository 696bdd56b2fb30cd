#include "log/debuglog.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <shared_mutex>

namespace {

// The open log file's descriptor, or -1 while the log is closed. Messages write under a shared
// lock: each is one write(2) to a file opened for appending, which the kernel never interleaves
// with another, so writers need not wait for each other. Opening and closing take the lock
// exclusively, so no message is written across a close.
std::shared_mutex s_lock;
std::atomic<int> s_fd{-1};

// Set while this thread is inside the handler: a diagnostic raised from within (or from exit
// handlers on the fatal path) must not deadlock on the lock.
thread_local bool t_in_handler = false;

// The process id, asked once per process rather than once per line.
std::atomic<pid_t> s_pid{0};

pid_t processId()
{
    pid_t pid = s_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        static const int registered = ::pthread_atfork(nullptr, nullptr, [] { s_pid = 0; });
        Q_UNUSED(registered);
        pid = ::getpid();
        s_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

// "HH:mm:ss.zzz " in local time. localtime_r() uses the zone rules loaded when the log opened
// (tzset()); the per-call zone lookup of QTime::currentTime() costs a stat() per line.
QByteArray timeStamp()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    char text[32];
    const int n = std::snprintf(text, sizeof(text), "%02d:%02d:%02d.%03d ", local.tm_hour,
                                local.tm_min, local.tm_sec, int(now.tv_nsec / 1000000));
    return QByteArray(text, n);
}

QByteArray linePrefix()
{
    return timeStamp() + '[' + QByteArray::number(qint64(processId())) + "] ";
}

const char *levelPrefix(int type)
{
    switch (static_cast<unsigned>(type)) {
    case QtDebugMsg:
        return "DEBUG: ";
    case QtWarningMsg:
        return "WARNING: ";
    case QtCriticalMsg:
        return "CRITICAL: ";
    case QtFatalMsg:
        return "FATAL: ";
    default:
        return "";
    }
}

void writeAll(int fd, const QByteArray &data)
{
    const char *from = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, from, size_t(left));
        if (n <= 0)
            return; // write errors are not looked at
        from += n;
        left -= n;
    }
}

// The service may run as root while the temporary directory is world-writable: never follow a
// link planted at the log's name and append only to a regular file. O_NONBLOCK keeps a FIFO
// planted there from blocking the open.
int openLogFile()
{
    const QByteArray path = QFile::encodeName(DebugLog::filePath());
    const int fd =
        ::open(path.constData(),
               O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return -1;
    }
    ::tzset();
    return fd;
}

// With the lock held exclusively.
void closeLocked()
{
    const int fd = s_fd.exchange(-1);
    if (fd < 0)
        return;
    writeAll(fd, timeStamp() + "--- DEBUG LOG CLOSED ---\n\n");
    ::close(fd);
}

// A foreground run in a terminal shows its log live; a service or a test run stays quiet.
void copyToTerminal(const QByteArray &line)
{
    static const bool toTerminal = ::isatty(STDERR_FILENO) == 1;
    if (toTerminal && ::write(STDERR_FILENO, line.constData(), size_t(line.size())) < 0) {
        // a terminal that cannot take the line loses it; the file still gets it
    }
}

// The common case: the log is open and the message is not fatal.
bool writeShared(const QByteArray &line)
{
    std::shared_lock locker(s_lock);
    const int fd = s_fd.load();
    if (fd < 0)
        return false;
    copyToTerminal(line);
    writeAll(fd, line);
    return true;
}

// Opens the log if needed and writes the line; ends the process on a fatal message.
void writeExclusive(int type, const QByteArray &prefix, const QByteArray &line)
{
    std::unique_lock locker(s_lock);
    int fd = s_fd.load();
    if (fd < 0) {
        fd = openLogFile();
        if (fd < 0)
            return;
        s_fd.store(fd);
        writeAll(fd, '\n' + prefix + "--- DEBUG LOG OPENED ---\n");
    }
    copyToTerminal(line);
    writeAll(fd, line);
    if (type == QtFatalMsg) {
        closeLocked();
        std::exit(1); // t_in_handler stays set: exit handlers' diagnostics are dropped
    }
}

} // namespace

QString DebugLog::filePath()
{
    return QDir::tempPath() + QDir::separator() + QStringLiteral("service-debuglog.txt");
}

void DebugLog::install()
{
    qInstallMessageHandler(&DebugLog::messageHandler);
    qAddPostRoutine(&DebugLog::close);
}

void DebugLog::messageHandler(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    write(int(type), text);
}

void DebugLog::write(int type, const QString &text)
{
    if (t_in_handler)
        return;
    t_in_handler = true;
    const QByteArray prefix = linePrefix();
    const QByteArray line = prefix + levelPrefix(type) + text.toLatin1() + '\n';
    if (type == QtFatalMsg || !writeShared(line))
        writeExclusive(type, prefix, line);
    t_in_handler = false;
}

void DebugLog::close()
{
    std::unique_lock locker(s_lock);
    closeLocked();
}

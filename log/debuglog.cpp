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
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <utility>

namespace {

// The open log file's descriptor, or -1 while the log is closed. Messages write under a shared
// lock: each is one write(2) to a file opened for appending, which the kernel never interleaves
// with another, so writers need not wait for each other. Opening, rotating and closing take the
// lock exclusively, so no message is written across a close or a rotation.
std::shared_mutex s_lock;
std::atomic<int> s_fd{-1};

// Bytes in the open file: its size when opened (or last looked at) plus every byte this process
// has written or, under the shared lock, claimed for a message it is about to write. Writers claim
// with a compare-and-swap, so they do not wait for each other until the file is full.
std::atomic<qint64> s_size{0};

// With the lock held exclusively only: the open file's path (rotation stays in its folder, whatever
// the temporary directory is by then).
QByteArray s_path;

// The closing banner is "HH:mm:ss.zzz " plus this. Messages leave room for it, so every file can
// end with it and still stay within the bound.
constexpr char ClosedBanner[] = "--- DEBUG LOG CLOSED ---\n\n";
constexpr qint64 ClosingBannerSize = 13 + qint64(sizeof(ClosedBanner)) - 1;

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

// Set by configure() before the log is installed; read by every message.
std::atomic<qint64> s_max_bytes{DebugLog::DefaultMaxBytes}; // 0: unbounded
QString &directory()
{
    static QString configured;
    return configured;
}

qint64 maxBytes()
{
    return s_max_bytes.load(std::memory_order_relaxed);
}

// Whether a file of `size` bytes can take `more` and still leave room for the closing banner.
bool fits(qint64 size, qint64 more)
{
    const qint64 max = maxBytes();
    return max == 0 || size + more + ClosingBannerSize <= max;
}

// Claims room for a message in the open file; false when it does not fit.
bool claim(qint64 more)
{
    if (maxBytes() == 0)
        return true;
    qint64 size = s_size.load(std::memory_order_relaxed);
    do {
        if (!fits(size, more))
            return false;
    } while (!s_size.compare_exchange_weak(size, size + more, std::memory_order_relaxed));
    return true;
}

// Set by setFailureHandler() before the log is installed. s_failed: a failure has been told
// since the file was last opened.
std::atomic<DebugLog::FailureHandler> s_failure_handler{nullptr};
std::atomic<bool> s_failed{false};
thread_local int t_failure_errno = 0; // this message's failure, told once the lock is let go

void noteFailure()
{
    if (t_failure_errno == 0)
        t_failure_errno = errno != 0 ? errno : EIO;
}

void tellFailure(const QByteArray &path)
{
    const int error = std::exchange(t_failure_errno, 0);
    if (error == 0 || s_failed.exchange(true))
        return;
    if (const DebugLog::FailureHandler handler = s_failure_handler.load())
        handler(QString::fromLocal8Bit(path) + QStringLiteral(": ") + qt_error_string(error));
}

void writeAll(int fd, const QByteArray &data)
{
    const char *from = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, from, size_t(left));
        if (n <= 0) {
            noteFailure(); // the line is lost; the handler hears of it once
            return;
        }
        from += n;
        left -= n;
    }
}

// The service may run as root while the temporary directory is world-writable: never follow a
// link planted at the log's name and append only to a regular file. O_NONBLOCK keeps a FIFO
// planted there from blocking the open.
int openLogFile(const QByteArray &path, qint64 *size)
{
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
    *size = info.st_size;
    return fd;
}

// The functions below run with the lock held exclusively.

bool openLocked(const QByteArray &path)
{
    qint64 size = 0;
    const int fd = openLogFile(path, &size);
    if (fd < 0) {
        noteFailure();
        return false;
    }
    s_failed = false;
    s_path = path;
    s_size.store(size);
    s_fd.store(fd);
    return true;
}

void writeCountedLocked(const QByteArray &data)
{
    writeAll(s_fd.load(), data);
    s_size.fetch_add(data.size());
}

void closeLocked()
{
    if (s_fd.load() < 0)
        return;
    if (maxBytes() == 0 || s_size.load() + ClosingBannerSize <= maxBytes())
        writeCountedLocked(timeStamp() + ClosedBanner);
    ::close(s_fd.exchange(-1));
}

// False when the open file is no longer the one at its path: another process sharing the folder
// rotated it, or it was removed. Otherwise takes its size, which counts other processes' lines.
bool stillAtPathLocked()
{
    struct stat open;
    struct stat named;
    if (::fstat(s_fd.load(), &open) != 0 || ::lstat(s_path.constData(), &named) != 0 ||
        open.st_dev != named.st_dev || open.st_ino != named.st_ino)
        return false;
    s_size.store(open.st_size);
    return true;
}

// Moves the open file to "<name>.1" and opens a fresh one. rename() replaces a link found at
// "<name>.1" itself, never the file it points to; a directory, FIFO or other special file there
// is left alone and the rotation fails.
bool rotateLocked()
{
    const QByteArray older = s_path + ".1";
    struct stat info;
    if (::lstat(older.constData(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode))
        return false;
    if (::rename(s_path.constData(), older.constData()) != 0)
        return false;
    ::close(s_fd.exchange(-1));
    return openLocked(s_path);
}

// The line that starts a file.
QByteArray openingLines(const QByteArray &prefix)
{
    return '\n' + prefix + "--- DEBUG LOG OPENED ---\n";
}

// Opens or rotates the file as needed for a message of `size` bytes and returns how many of
// them it takes: all, none, or (in a fresh file) the first ones.
//
// When "<name>.1" is a directory or the like the full file stays as it is and messages that do
// not fit are dropped until a rotation succeeds: the bound protects the disk, so it holds even
// then. A message too large for even a fresh file is cut to what it has room for, ending in a
// line feed, so that its start (time, process, level) still shows.
//
// Bytes are counted per process; what other processes append to the same file is seen only when
// its size is looked at here, so together they may pass the bound by what the others wrote since.
qint64 makeRoomLocked(const QByteArray &prefix, qint64 size)
{
    if (s_fd.load() >= 0 && !stillAtPathLocked())
        ::close(s_fd.exchange(-1)); // reopen rather than rotate the other process's fresh file
    bool opened = false;
    if (s_fd.load() < 0) {
        if (!openLocked(QFile::encodeName(DebugLog::filePath())))
            return 0;
        opened = true;
    }
    QByteArray opening = opened ? openingLines(prefix) : QByteArray();
    if (!fits(s_size.load(), opening.size() + size) && s_size.load() > 0) {
        if (!rotateLocked())
            return 0;
        opening = openingLines(prefix);
    }
    if (!opening.isEmpty() && fits(s_size.load(), opening.size()))
        writeCountedLocked(opening);
    if (maxBytes() == 0)
        return size;
    return qBound(qint64(0), maxBytes() - ClosingBannerSize - s_size.load(), size);
}

// The message as one line of the file: every control character (C0, DEL, C1 such as U+0085) and
// the Unicode line and paragraph separators written as an escape, so no text, whoever wrote it,
// can end its line early or start one that looks like another event. Backslashes are left as they
// are: call sites that log client text escape it themselves (loggedText) and double them there.
QByteArray escapedText(const QString &text)
{
    QByteArray out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\n')
            out += "\\n";
        else if (u == u'\r')
            out += "\\r";
        else if (u == u'\t')
            out += "\\t";
        else if (u < 0x20 || (u >= 0x7f && u < 0xa0))
            out.append("\\x").append(QByteArray::number(u, 16).rightJustified(2, '0'));
        else if (u == 0x2028 || u == 0x2029)
            out.append("\\u").append(QByteArray::number(u, 16));
        else
            out += u <= 0xff ? char(u) : '?';
    }
    return out;
}

// A foreground run in a terminal shows its log live; a service or a test run stays quiet.
void copyToTerminal(const QByteArray &line)
{
    static const bool toTerminal = ::isatty(STDERR_FILENO) == 1;
    if (toTerminal && ::write(STDERR_FILENO, line.constData(), size_t(line.size())) < 0) {
        // a terminal that cannot take the line loses it; the file still gets it
    }
}

// The common case: the log is open, the message fits and is not fatal.
bool writeShared(const QByteArray &line)
{
    std::shared_lock locker(s_lock);
    const int fd = s_fd.load();
    if (fd < 0 || !claim(line.size()))
        return false;
    copyToTerminal(line);
    writeAll(fd, line);
    return true;
}

// Opens or rotates the log if needed and writes the line; ends the process on a fatal message.
void writeExclusive(int type, const QByteArray &prefix, const QByteArray &line)
{
    std::unique_lock locker(s_lock);
    const qint64 room = makeRoomLocked(prefix, line.size());
    if (s_fd.load() < 0)
        return;
    copyToTerminal(line);
    if (room > 0)
        writeCountedLocked(room < line.size() ? line.left(room - 1) + '\n' : line);
    if (type == QtFatalMsg) {
        closeLocked();
        std::exit(1); // t_in_handler stays set: exit handlers' diagnostics are dropped
    }
}

} // namespace

QString DebugLog::filePath()
{
    const QString folder = directory().isEmpty() ? QDir::tempPath() : directory();
    return folder + QDir::separator() + QStringLiteral("service-debuglog.txt");
}

void DebugLog::configure(const QString &directory, qint64 maxBytes)
{
    ::directory() = directory;
    s_max_bytes = maxBytes;
}

void DebugLog::setFailureHandler(FailureHandler handler)
{
    s_failure_handler = handler;
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
    const QByteArray line = prefix + levelPrefix(type) + escapedText(text) + '\n';
    if (type == QtFatalMsg || !writeShared(line))
        writeExclusive(type, prefix, line);
    if (t_failure_errno != 0)
        tellFailure(QFile::encodeName(filePath()));
    t_in_handler = false;
}

void DebugLog::close()
{
    std::unique_lock locker(s_lock);
    closeLocked();
}

#include "log/debuglog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QTime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

namespace {

// Guarded by s_lock: the open log file, or null while the log is closed.
Q_CONSTINIT QBasicMutex s_lock;
QFile *s_file = nullptr;

// Set while this thread is inside the handler: a diagnostic raised from within (or from exit
// handlers on the fatal path) must not deadlock on the non-recursive lock.
thread_local bool t_in_handler = false;

QByteArray timeStamp()
{
    return QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz ")).toLatin1();
}

QByteArray linePrefix()
{
    return timeStamp() + '[' + QByteArray::number(qint64(::getpid())) + "] ";
}

QByteArray levelPrefix(int type)
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
        return QByteArray();
    }
}

// The service may run as root while the temporary directory is world-writable: never follow a
// link planted at the log's name and append only to a regular file. O_NONBLOCK keeps a FIFO
// planted there from blocking the open.
QFile *openLogFile()
{
    const QByteArray path = QFile::encodeName(DebugLog::filePath());
    const int fd =
        ::open(path.constData(),
               O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        return nullptr;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    auto file = std::make_unique<QFile>();
    if (!file->open(fd, QIODevice::WriteOnly | QIODevice::Append, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return nullptr;
    }
    return file.release();
}

void closeLocked()
{
    if (!s_file)
        return;
    s_file->write(timeStamp() + "--- DEBUG LOG CLOSED ---\n\n");
    s_file->flush();
    s_file->close();
    delete s_file;
    s_file = nullptr;
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
    QMutexLocker locker(&s_lock);

    const QByteArray prefix = linePrefix();
    if (!s_file) {
        s_file = openLogFile();
        if (!s_file) {
            t_in_handler = false;
            return;
        }
        s_file->write('\n' + prefix + "--- DEBUG LOG OPENED ---\n");
    }
    const QByteArray line = prefix + levelPrefix(type) + text.toLatin1() + '\n';

    // A foreground run in a terminal shows its log live; a service or a test run stays quiet.
    static const bool toTerminal = ::isatty(STDERR_FILENO) == 1;
    if (toTerminal && ::write(STDERR_FILENO, line.constData(), size_t(line.size())) < 0) {
        // a terminal that cannot take the line loses it; the file still gets it
    }

    s_file->write(line);
    s_file->flush();

    if (type == QtFatalMsg) {
        closeLocked();
        std::exit(1); // t_in_handler stays set: exit handlers' diagnostics are dropped
    }
    t_in_handler = false;
}

void DebugLog::close()
{
    QMutexLocker locker(&s_lock);
    closeLocked();
}

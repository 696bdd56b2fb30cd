#include "service/qtservicecontrolchannel.h"

#include <QByteArray>
#include <QFile>
#include <QList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A descriptor closed when the scope ends, unless taken.
struct FdGuard
{
    int fd = -1;
    ~FdGuard()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

bool writeAll(int fd, const QByteArray &data)
{
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n =
            ::send(fd, data.constData() + done, size_t(data.size() - done), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace

QtServiceControlChannel::~QtServiceControlChannel()
{
    close();
}

bool QtServiceControlChannel::fail(int errnoCode)
{
    m_error = qt_error_string(errnoCode);
    return false;
}

bool QtServiceControlChannel::socketAddress(const QString &path, sockaddr_un *address)
{
    const QByteArray encoded = QFile::encodeName(path);
    std::memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    if (encoded.size() >= qsizetype(sizeof(address->sun_path)))
        return fail(ENAMETOOLONG);
    std::memcpy(address->sun_path, encoded.constData(), size_t(encoded.size()));
    return true;
}

bool QtServiceControlChannel::waitFor(int fd, short events, QDeadlineTimer deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const qint64 left = deadline.remainingTime();
        const int r = ::poll(&p, 1, left < 0 ? -1 : int(qMin<qint64>(left, INT_MAX)));
        if (r > 0)
            return true;
        if (r == 0)
            return fail(ETIMEDOUT);
        if (errno != EINTR)
            return fail(errno);
    }
}

// One line without its line feed; false on time-out, error or a line too long.
bool QtServiceControlChannel::readLine(int fd, QDeadlineTimer deadline, QByteArray *line)
{
    line->clear();
    while (line->size() < 64) {
        if (!waitFor(fd, POLLIN, deadline))
            return false;
        char c = 0;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail(n == 0 ? ECONNRESET : errno);
        if (c == '\n')
            return true;
        *line += c;
    }
    return fail(EPROTO);
}

bool QtServiceControlChannel::request(const QString &socketPath, int code, int timeoutMs)
{
    sockaddr_un address;
    if (!socketAddress(socketPath, &address))
        return false;
    FdGuard socket{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (socket.fd < 0 ||
        ::connect(socket.fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) < 0 ||
        !writeAll(socket.fd, QByteArray::number(code) + '\n'))
        return fail(errno);
    QByteArray reply;
    if (!readLine(socket.fd, QDeadlineTimer(timeoutMs), &reply))
        return false;
    const QList<QByteArray> words = reply.split(' ');
    if (words.size() != 3 || words.at(0) != "ok")
        return fail(words.value(0) == "refused" ? EPERM : EPROTO);
    return true;
}

bool QtServiceControlChannel::listen(const QString &socketPath)
{
    close();
    sockaddr_un address;
    if (!socketAddress(socketPath, &address))
        return false;
    FdGuard socket{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (socket.fd < 0)
        return fail(errno);
    // A socket left by an earlier run of the service would make bind() fail.
    ::unlink(address.sun_path);
    if (::bind(socket.fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) < 0)
        return fail(errno);
    // Only the service's own user (and root) may send control codes.
    if (::chmod(address.sun_path, 0600) < 0 || ::listen(socket.fd, 8) < 0) {
        fail(errno);
        ::unlink(address.sun_path);
        return false;
    }
    std::swap(m_listen_fd, socket.fd);
    m_listen_path = socketPath;
    return true;
}

void QtServiceControlChannel::close()
{
    if (m_listen_fd < 0)
        return;
    ::close(m_listen_fd);
    m_listen_fd = -1;
    QFile::remove(m_listen_path);
}

bool QtServiceControlChannel::readRequest(int fd, int timeoutMs, int *code)
{
    QByteArray line;
    if (!readLine(fd, QDeadlineTimer(timeoutMs), &line))
        return false;
    bool ok = false;
    *code = line.toInt(&ok);
    return ok || fail(EPROTO);
}

void QtServiceControlChannel::writeReply(int fd,
                                         const std::optional<QtServicePlatform::Status> &status)
{
    if (!status) {
        writeAll(fd, "refused\n");
        return;
    }
    writeAll(fd, "ok " + QByteArray::number(status->currentState) + ' ' +
                     QByteArray::number(status->controlsAccepted) + '\n');
}

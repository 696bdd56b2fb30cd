#include "service/qtservicecontrolchannel.h"

#include <QByteArray>
#include <QDeadlineTimer>
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

// Closes a descriptor when the scope ends, keeping errno of the failure being reported.
struct FdGuard
{
    int fd = -1;
    ~FdGuard()
    {
        if (fd >= 0) {
            const int saved = errno;
            ::close(fd);
            errno = saved;
        }
    }
};

bool socketAddress(const QString &path, sockaddr_un *address)
{
    const QByteArray encoded = QFile::encodeName(path);
    std::memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    if (encoded.size() >= qsizetype(sizeof(address->sun_path))) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address->sun_path, encoded.constData(), size_t(encoded.size()));
    return true;
}

bool waitFor(int fd, short events, QDeadlineTimer deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const qint64 left = deadline.remainingTime();
        const int r = ::poll(&p, 1, left < 0 ? -1 : int(qMin<qint64>(left, INT_MAX)));
        if (r > 0)
            return true;
        if (r == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        if (errno != EINTR)
            return false;
    }
}

// One line without its line feed; empty optional on time-out, error or a line too long.
std::optional<QByteArray> readLine(int fd, QDeadlineTimer deadline)
{
    QByteArray line;
    while (line.size() < 64) {
        if (!waitFor(fd, POLLIN, deadline))
            return std::nullopt;
        char c = 0;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ECONNRESET;
            return std::nullopt;
        }
        if (c == '\n')
            return line;
        line += c;
    }
    errno = EPROTO;
    return std::nullopt;
}

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

std::optional<QtServicePlatform::Status> QtServiceControlChannel::request(const QString &socketPath,
                                                                          int code, int timeoutMs)
{
    sockaddr_un address;
    if (!socketAddress(socketPath, &address))
        return std::nullopt;
    FdGuard socket{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (socket.fd < 0)
        return std::nullopt;
    if (::connect(socket.fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) < 0)
        return std::nullopt;
    if (!writeAll(socket.fd, QByteArray::number(code) + '\n'))
        return std::nullopt;
    const auto reply = readLine(socket.fd, QDeadlineTimer(timeoutMs));
    if (!reply)
        return std::nullopt;
    const QList<QByteArray> words = reply->split(' ');
    if (words.size() != 3 || words.at(0) != "ok") {
        errno = words.value(0) == "refused" ? EPERM : EPROTO;
        return std::nullopt;
    }
    QtServicePlatform::Status status;
    status.currentState = words.at(1).toUInt();
    status.controlsAccepted = words.at(2).toUInt();
    return status;
}

int QtServiceControlChannel::listen(const QString &socketPath)
{
    sockaddr_un address;
    if (!socketAddress(socketPath, &address))
        return -1;
    FdGuard socket{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (socket.fd < 0)
        return -1;
    // A socket left by an earlier run of the service would make bind() fail.
    ::unlink(address.sun_path);
    if (::bind(socket.fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) < 0)
        return -1;
    // Only the service's own user (and root) may send control codes.
    if (::chmod(address.sun_path, 0600) < 0 || ::listen(socket.fd, 8) < 0) {
        const int saved = errno;
        ::unlink(address.sun_path);
        errno = saved;
        return -1;
    }
    const int fd = socket.fd;
    socket.fd = -1;
    return fd;
}

std::optional<int> QtServiceControlChannel::readRequest(int fd, int timeoutMs)
{
    const auto line = readLine(fd, QDeadlineTimer(timeoutMs));
    if (!line)
        return std::nullopt;
    bool ok = false;
    const int code = line->toInt(&ok);
    if (!ok)
        return std::nullopt;
    return code;
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

#pragma once

#include "service/qtserviceplatform.h"

#include <QDeadlineTimer>
#include <QString>

#include <optional>

struct sockaddr_un;

// The local socket over which a controller hands pause, continue, interrogate and user control
// codes to the running service. One request per connection: the code as a decimal line; the
// answer "ok <state> <accepted controls>" once the service has handled it, or "refused". A call
// that fails returns false and leaves the reason in errorString().
class QtServiceControlChannel
{
public:
    QtServiceControlChannel() = default;
    ~QtServiceControlChannel();
    QtServiceControlChannel(const QtServiceControlChannel &) = delete;
    QtServiceControlChannel &operator=(const QtServiceControlChannel &) = delete;

    QString errorString() const { return m_error; }

    // Controller side: false when the service cannot be reached, refused, or did not answer
    // within timeoutMs.
    bool request(const QString &socketPath, int code, int timeoutMs);

    // Service side: a listening socket at socketPath, mode 0600, until close() removes it.
    bool listen(const QString &socketPath);
    int socketDescriptor() const { return m_listen_fd; }
    void close();
    // Reads the request of an accepted connection; false when it is malformed or late.
    bool readRequest(int fd, int timeoutMs, int *code);
    // The answer to a request: its status once handled, or none when refused.
    static void writeReply(int fd, const std::optional<QtServicePlatform::Status> &status);

private:
    bool fail(int errnoCode);
    bool socketAddress(const QString &path, sockaddr_un *address);
    bool waitFor(int fd, short events, QDeadlineTimer deadline);
    bool readLine(int fd, QDeadlineTimer deadline, QByteArray *line);

    QString m_error;
    QString m_listen_path;
    int m_listen_fd = -1;
};

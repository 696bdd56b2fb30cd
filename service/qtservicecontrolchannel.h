#pragma once

#include "service/qtserviceplatform.h"

#include <QString>

#include <optional>

// The local socket over which a controller hands pause, continue, interrogate and user control
// codes to the running service. One request per connection: the code as a decimal line; the
// answer "ok <state> <accepted controls>" once the service has handled it, or "refused".
class QtServiceControlChannel
{
public:
    // Controller side. Empty when the service cannot be reached, refused, or did not answer
    // within timeoutMs; errno says which.
    static std::optional<QtServicePlatform::Status> request(const QString &socketPath, int code,
                                                            int timeoutMs);

    // Service side: a listening socket at socketPath, mode 0600; -1 on failure (errno set).
    static int listen(const QString &socketPath);
    // Reads the request of an accepted connection; empty when it is malformed or late.
    static std::optional<int> readRequest(int fd, int timeoutMs);
    static void writeReply(int fd, const std::optional<QtServicePlatform::Status> &status);
};

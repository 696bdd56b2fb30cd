#pragma once

#include "service/qtserviceplatform.h"

#include <QString>
#include <QStringList>

#include <memory>

// Acts on the installed service of one name through the system's service manager: the work
// behind QtServiceController, and the reason a call failed in errorString(). Where the manager
// is missing every call fails. One thread at a time.
class QtServiceControllerPrivate
{
public:
    explicit QtServiceControllerPrivate(const QString &serviceName);
    ~QtServiceControllerPrivate();
    QtServiceControllerPrivate(const QtServiceControllerPrivate &) = delete;
    QtServiceControllerPrivate &operator=(const QtServiceControllerPrivate &) = delete;

    QString serviceName() const { return m_service_name; }
    QString errorString() const { return m_error; }

    bool isInstalled();
    bool isRunning();
    bool queryConfiguration(QtServicePlatform::Configuration *configuration);
    bool uninstall();
    bool start(const QStringList &arguments);
    // Waits a little for the service to stop; a request the manager refused is logged here.
    bool stop();
    bool control(int code);
    // Hands user command code (0 to 127) to the running service.
    bool sendCommand(int code);

private:
    // The platform, or null (with the reason kept) when no service manager runs.
    QtServicePlatform *platform();
    bool failed();
    bool fail(int errnoCode);

    const QString m_service_name;
    const std::unique_ptr<QtServicePlatform> m_platform;
    QString m_error;
};

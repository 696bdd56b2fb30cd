#pragma once

#include "service/qtserviceplatform.h"

#include <QMutex>

class QtServiceSystemdBus;
class QtServiceSystemdDispatcher;

// The service manager is systemd, the system log journald. Controller operations talk to the
// manager over its D-Bus API; the running service reports with sd_notify and takes pause,
// continue, interrogate and user codes on a control socket in its runtime directory.
class QtServicePlatformSystemd : public QtServicePlatform
{
public:
    bool isAvailable() const override;

    bool isInstalled(const QString &serviceName) override;
    std::optional<State> state(const QString &serviceName) override;
    std::optional<Configuration> configuration(const QString &serviceName) override;
    bool install(const Registration &registration) override;
    bool uninstall(const QString &serviceName) override;
    bool start(const QString &serviceName, const QStringList &arguments) override;
    StopResult stop(const QString &serviceName, int timeoutMs) override;
    std::optional<Status> control(const QString &serviceName, int code) override;

    DispatchResult dispatch(const QString &serviceName, Dispatcher *dispatcher,
                            QString *error) override;
    quintptr registerControlHandler(const QString &serviceName) override;
    void reportStatus(quintptr handle, const Status &status) override;

    void reportEvent(const QString &serviceName, const QString &message, int type, int id,
                     uint category, const QByteArray &data) override;

private:
    // The unit's object path on an open bus, or empty with errno set when it is not installed.
    static QByteArray installedUnit(QtServiceSystemdBus &bus, const QString &serviceName);
    // The same after opening the bus; empty when either fails.
    static QByteArray openInstalledUnit(QtServiceSystemdBus &bus, const QString &serviceName);
    static std::optional<State> unitState(QtServiceSystemdBus &bus, const QByteArray &unit);
    static bool writeStartArguments(QtServiceSystemdBus &bus, const QByteArray &unit,
                                    const QString &serviceName, const QStringList &arguments);
    static bool waitForStop(QtServiceSystemdBus &bus, const QString &unitName, int timeoutMs);

    // The dispatcher of this process while the service runs under systemd.
    QMutex m_mutex;
    QtServiceSystemdDispatcher *m_dispatcher = nullptr;
};

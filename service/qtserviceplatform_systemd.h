#pragma once

#include "service/qtserviceplatform.h"

#include <QMutex>

#include <sys/types.h>

class QtServiceSystemdBus;
class QtServiceSystemdDispatcher;

// The service manager is systemd, the system log journald. Controller operations talk to the
// manager over its D-Bus API; the running service reports with sd_notify and takes pause,
// continue, interrogate and user codes on a control socket in its runtime directory.
class QtServicePlatformSystemd : public QtServicePlatform
{
public:
    bool isAvailable() override;

    bool isInstalled(const QString &serviceName) override;
    bool queryState(const QString &serviceName, State *state) override;
    bool queryConfiguration(const QString &serviceName, Configuration *configuration) override;
    bool install(const Registration &registration) override;
    bool uninstall(const QString &serviceName) override;
    bool start(const QString &serviceName, const QStringList &arguments) override;
    bool stop(const QString &serviceName, int timeoutMs, bool *stopped) override;
    bool control(const QString &serviceName, int code) override;

    bool startedByManager(const QString &serviceName) override;
    bool dispatch(const QString &serviceName, Dispatcher *dispatcher) override;
    bool enableControls() override;
    void reportStatus(const Status &status) override;

    void reportEvent(const QString &serviceName, const QString &message, int type, int id,
                     uint category, const QByteArray &data) override;

private:
    bool failed(const QtServiceSystemdBus &bus);
    // Opens the bus and finds the unit's object path; false when either fails or the service
    // is not installed.
    bool openInstalledUnit(QtServiceSystemdBus &bus, const QString &serviceName, QByteArray *unit);
    bool installedUnit(QtServiceSystemdBus &bus, const QString &serviceName, QByteArray *unit);
    bool unitState(QtServiceSystemdBus &bus, const QByteArray &unit, State *state);
    bool loadInstalledFile(QtServiceSystemdBus &bus, const Registration &registration);
    bool removeUnitFile(QtServiceSystemdBus &bus, const QString &serviceName);
    // Asks systemd to stop the unit and waits at most timeoutMs; false when it refused.
    bool stopUnit(QtServiceSystemdBus &bus, const QString &serviceName, int timeoutMs);
    bool writeStartArguments(QtServiceSystemdBus &bus, const QByteArray &unit,
                             const QString &serviceName, const QStringList &arguments);
    bool lookUpUser(const QString &user, uid_t *uid, gid_t *gid);
    bool writeFile(const QString &path, const QByteArray &data, mode_t mode, uid_t uid, gid_t gid);

    // The dispatcher of this run while the service runs under systemd: set and cleared by
    // dispatch() on its thread, used by enableControls() and reportStatus() from any thread,
    // under m_mutex.
    QMutex m_mutex;
    QtServiceSystemdDispatcher *m_dispatcher = nullptr;
};

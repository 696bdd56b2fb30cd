#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A private systemd (PID 1 of its own namespaces, with journald) booted by systemd-ns.sh, for
// tests that need the real service manager without touching the machine's own. It dies with
// the test process even when the test crashes.
class SystemdNamespace
{
public:
    struct Result
    {
        int exitCode = -1000; // -1000: did not finish; -2000: crashed
        QByteArray out;
        QByteArray err;
    };

    SystemdNamespace() = default;
    ~SystemdNamespace();
    SystemdNamespace(const SystemdNamespace &) = delete;
    SystemdNamespace &operator=(const SystemdNamespace &) = delete;

    // Boots the namespace and waits until systemd and journald run; false with the reason.
    bool boot(QString *why);
    void shutDown();

    // Runs a command inside the namespace (as root, or as the given user).
    Result run(const QStringList &command, int timeoutMs = 60000) const;
    Result runAs(int uid, const QStringList &command) const; // group the same number
    QByteArray readFile(const QString &path) const;

private:
    QString m_script;
    QTemporaryDir m_state;
    QProcess m_boot;
    QString m_pid1;
};

#pragma once

#include "../common/testhelpers.h"

namespace vxtest {
// The tester's service as the systemd tests meet it, and the start of its console lines.
inline const QString kTesterName = QStringLiteral("VX Connectivity Tester");
inline const QString kTesterUnit = QStringLiteral("vx-connectivity-tester.service");
inline QByteArray testerSaid(const char *what)
{
    return "The service " + kTesterName.toLatin1() + what;
}
} // namespace vxtest

// A private systemd (PID 1 of its own namespaces, with journald) booted by systemd-ns.sh, for
// tests that need the real service manager without touching the machine's own. It dies with
// the test process even when the test crashes.
class SystemdNamespace
{
public:
    ~SystemdNamespace() { shutDown(); }

    // Boots the namespace and waits until systemd and journald run; false with the reason.
    bool boot(QString *why);
    void shutDown();

    // Runs a command inside the namespace, as root or as the given user (and group).
    vxtest::Run run(const QStringList &command) const;
    vxtest::Run runAs(int uid, const QStringList &command) const;
    QByteArray readFile(const QString &path) const
    {
        return run({QStringLiteral("cat"), path}).out;
    }

private:
    QString m_script;
    QTemporaryDir m_state;
    QProcess m_boot;
    QString m_pid1;
};

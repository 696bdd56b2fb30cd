#include "systemdnamespace.h"

#include <QCoreApplication>
#include <QFileInfo>

using namespace vxtest;

bool SystemdNamespace::boot(QString *why)
{
    m_script = QStringLiteral(SYSTEMD_NS_SCRIPT);
    // The booting process is our child: should this test die, the parent-death signal takes
    // the namespace with it. The programs under test must stay reachable inside, wherever the
    // build lies.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QString keep = environment.value(u"VX_NS_KEEP"_s);
    keep += (keep.isEmpty() ? u""_s : u":"_s) +
            QFileInfo(qEnvironmentVariable("VX_TESTER")).absolutePath() + u':' +
            QCoreApplication::applicationDirPath();
    environment.insert(u"VX_NS_KEEP"_s, keep);
    m_boot.setProcessEnvironment(environment);
    m_boot.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_boot.start(m_script, {u"boot"_s, m_state.path()});
    if (!m_state.isValid() || !m_boot.waitForStarted()) {
        *why = u"cannot run "_s + m_script;
        return false;
    }
    const Run wait = vxtest::run(m_script, {u"wait"_s, m_state.path(), u"60"_s});
    m_pid1 = QString::fromLatin1(wait.out).trimmed();
    if (wait.exitCode == 0 && !m_pid1.isEmpty())
        return true;
    *why = QString::fromLocal8Bit(wait.err).trimmed();
    if (why->isEmpty())
        *why = u"the namespace did not come up (%1)"_s.arg(wait.exitCode);
    // 77: the namespace cannot be made here.
    if (m_boot.state() != QProcess::NotRunning && wait.exitCode != 77)
        *why += u" [boot still running]"_s;
    shutDown();
    return false;
}

void SystemdNamespace::shutDown()
{
    if (m_script.isEmpty())
        return;
    vxtest::run(m_script, {u"stop"_s, m_state.path()});
    m_boot.kill();
    m_boot.waitForFinished();
    m_pid1.clear();
    m_script.clear();
}

Run SystemdNamespace::run(const QStringList &command) const
{
    return vxtest::run(m_script, QStringList{u"exec"_s, m_pid1} + command);
}

Run SystemdNamespace::runAs(int uid, const QStringList &command) const
{
    const QString id = QString::number(uid);
    return run(QStringList{u"setpriv"_s, u"--reuid="_s + id, u"--regid="_s + id,
                           u"--clear-groups"_s, u"--"_s} +
               command);
}

#include "systemdnamespace.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcessEnvironment>

using namespace Qt::StringLiterals;

namespace {

// The script ends with this code when the namespace cannot be made here.
constexpr int s_cannot = 77;

SystemdNamespace::Result finish(QProcess &process, int timeoutMs)
{
    SystemdNamespace::Result result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
    } else {
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2000;
    }
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

} // namespace

SystemdNamespace::~SystemdNamespace()
{
    shutDown();
}

bool SystemdNamespace::boot(QString *why)
{
    m_script = QStringLiteral(SYSTEMD_NS_SCRIPT);
    if (!m_state.isValid()) {
        *why = u"no temporary directory"_s;
        return false;
    }
    // The booting process is our child: should this test die, the parent-death signal takes
    // the namespace with it.
    m_boot.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // The programs under test must stay reachable inside, wherever the build lies.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"VX_NS_KEEP"_s,
                       QStringList{QFileInfo(qEnvironmentVariable("VX_TESTER")).absolutePath(),
                                   QCoreApplication::applicationDirPath()}
                           .join(u':'));
    m_boot.setProcessEnvironment(environment);
    m_boot.start(m_script, {u"boot"_s, m_state.path()});
    if (!m_boot.waitForStarted()) {
        *why = u"cannot run "_s + m_script;
        return false;
    }
    QProcess wait;
    wait.start(m_script, {u"wait"_s, m_state.path(), u"60"_s});
    const Result result = finish(wait, 90000);
    if (result.exitCode != 0) {
        *why = QString::fromLocal8Bit(result.err).trimmed();
        if (why->isEmpty())
            *why = u"the namespace did not come up (%1)"_s.arg(result.exitCode);
        if (m_boot.state() != QProcess::NotRunning && result.exitCode != s_cannot)
            *why += u" [boot still running]"_s;
        shutDown();
        return false;
    }
    m_pid1 = QString::fromLatin1(result.out).trimmed();
    return !m_pid1.isEmpty();
}

void SystemdNamespace::shutDown()
{
    if (m_script.isEmpty())
        return;
    QProcess stop;
    stop.start(m_script, {u"stop"_s, m_state.path()});
    finish(stop, 30000);
    if (m_boot.state() != QProcess::NotRunning) {
        m_boot.kill();
        m_boot.waitForFinished();
    }
    m_pid1.clear();
    m_script.clear();
}

SystemdNamespace::Result SystemdNamespace::run(const QStringList &command, int timeoutMs) const
{
    QProcess process;
    process.start(m_script, QStringList{u"exec"_s, m_pid1} + command);
    return finish(process, timeoutMs);
}

SystemdNamespace::Result SystemdNamespace::runAs(int uid, const QStringList &command) const
{
    const QString id = QString::number(uid);
    return run(QStringList{u"setpriv"_s, u"--reuid="_s + id, u"--regid="_s + id,
                           u"--clear-groups"_s, u"--"_s} +
               command);
}

QByteArray SystemdNamespace::readFile(const QString &path) const
{
    return run({u"cat"_s, path}).out;
}

#include "service/qtservicesystemdunit.h"

#include <algorithm>
#include <initializer_list>

#include <QDir>

using namespace Qt::StringLiterals;

QString QtServiceSystemdUnit::stem(const QString &serviceName)
{
    const QString name = serviceName.section(QChar(0), 0, 0);
    QString result;
    bool pendingDash = false;
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        const bool keep =
            (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9');
        if (!keep) {
            pendingDash = true;
            continue;
        }
        if (pendingDash && !result.isEmpty())
            result += u'-';
        pendingDash = false;
        result += c.toLower();
    }
    return result;
}

QString QtServiceSystemdUnit::unitName(const QString &serviceName)
{
    const QString s = stem(serviceName);
    return s.isEmpty() ? QString() : s + ".service"_L1;
}

QString QtServiceSystemdUnit::unitFilePath(const QString &serviceName)
{
    return "/etc/systemd/system/"_L1 + unitName(serviceName);
}

QString QtServiceSystemdUnit::runtimeDirectory(const QString &serviceName)
{
    return "/run/"_L1 + stem(serviceName);
}

QString QtServiceSystemdUnit::logsDirectory(const QString &serviceName)
{
    return "/var/log/"_L1 + stem(serviceName);
}

QString QtServiceSystemdUnit::controlSocketPath(const QString &serviceName)
{
    return runtimeDirectory(serviceName) + "/control"_L1;
}

QString QtServiceSystemdUnit::startArgumentsPath(const QString &serviceName)
{
    return runtimeDirectory(serviceName) + "/start-arguments"_L1;
}

QString QtServiceSystemdUnit::userName(const QString &account)
{
    return account.section(u'\\', -1);
}

QString QtServiceSystemdUnit::quotedExecPath(const QString &path)
{
    QString quoted = path;
    // Backslashes first, so that those added for the other characters stay single.
    quoted.replace(u"\\"_s, u"\\\\"_s)
        .replace(u"\""_s, u"\\\""_s)
        .replace(u"\n"_s, u"\\n"_s)
        .replace(u"%"_s, u"%%"_s);
    return u'"' + quoted + u'"';
}

QString QtServiceSystemdUnit::escapedValue(const QString &value)
{
    QString escaped = value;
    escaped.replace(u'\n', u' ').replace(u'\r', u' ');
    return escaped.replace(u"%"_s, u"%%"_s);
}

QString QtServiceSystemdUnit::fileText(const QtServicePlatform::Registration &registration)
{
    const QString &name = registration.serviceName;
    if (stem(name).isEmpty() || !QDir::isAbsolutePath(registration.executablePath))
        return QString();
    const QString user =
        registration.account.isEmpty() ? QString() : userName(registration.account);
    QString text;
    text += "[Unit]\n"_L1;
    text += "Description="_L1 + escapedValue(registration.description) + u'\n';
    text += "Documentation=man:"_L1 + stem(name) + "(8)\n"_L1;
    // Its clients come over the network.
    text += "After=network.target\n"_L1;
    if (!registration.canBeStopped)
        text += "RefuseManualStop=yes\n"_L1;
    text += "\n[Service]\n"_L1;
    text += "Type=notify\nNotifyAccess=main\n"_L1;
    text += "ExecStart="_L1 + quotedExecPath(registration.executablePath) + u'\n';
    // A reload checks the edited settings first, so a bad edit fails it with the setting named
    // while the service runs on; SIGHUP then reopens the debug log.
    if (!registration.checkOption.isEmpty())
        text += "ExecReload="_L1 + quotedExecPath(registration.executablePath) + u' ' +
                escapedValue(registration.checkOption) + u'\n';
    text += "ExecReload=/bin/kill -HUP $MAINPID\n"_L1;
    text += "RuntimeDirectory="_L1 + stem(name) + u'\n';
    text += "LogsDirectory="_L1 + stem(name) + u'\n';
    // The debug log goes to the temporary directory; make that the logs directory.
    text += "Environment=TMPDIR="_L1 + logsDirectory(name) + u'\n';
    // Settings that outlive a reinstall; optional, hence the "-".
    text += "EnvironmentFile=-/etc/default/"_L1 + stem(name) + u'\n';
    // Brought back after a crash; a start that fails at once is not retried forever
    // (systemd's start rate limit).
    // 78: the service refused its configuration, which no restart can mend; 69: a port it must
    // listen on is taken, which a restart every 2 s would not mend either (a console start
    // fails once as well).
    text += "Restart=on-failure\nRestartSec=2\nRestartPreventExitStatus=69 78\n"_L1;
    if (!user.isEmpty()) {
        text += "User="_L1 + escapedValue(user) + u'\n';
        // Tests on ports below 1024 still need to bind them.
        text += "AmbientCapabilities=CAP_NET_BIND_SERVICE\n"_L1;
    }
    // The sandbox must leave the program itself reachable: one built in a home directory or
    // in a temporary directory still runs, with those folders read-only or shared.
    const QString &program = registration.executablePath;
    const auto under = [&program](std::initializer_list<QLatin1StringView> folders) {
        return std::any_of(folders.begin(), folders.end(), [&program](QLatin1StringView folder) {
            return program.startsWith(folder);
        });
    };
    text += under({"/home/"_L1, "/root/"_L1, "/run/user/"_L1}) ? "ProtectHome=read-only\n"_L1
                                                               : "ProtectHome=yes\n"_L1;
    if (!under({"/tmp/"_L1, "/var/tmp/"_L1}))
        text += "PrivateTmp=yes\n"_L1;
    text += "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
            "NoNewPrivileges=yes\n"
            "ProtectSystem=strict\n"
            "PrivateDevices=yes\n"
            "DevicePolicy=closed\n"
            "ProtectKernelTunables=yes\n"
            "ProtectKernelModules=yes\n"
            "ProtectKernelLogs=yes\n"
            "ProtectControlGroups=yes\n"
            "ProtectClock=yes\n"
            "ProtectHostname=yes\n"
            "ProcSubset=pid\n"
            "RestrictNamespaces=yes\n"
            "RestrictRealtime=yes\n"
            "RestrictSUIDSGID=yes\n"
            "LockPersonality=yes\n"
            "MemoryDenyWriteExecute=yes\n"
            "RemoveIPC=yes\n"
            "KeyringMode=private\n"
            "UMask=0077\n"
            "SystemCallArchitectures=native\n"
            "SystemCallFilter=@system-service\n"
            "SystemCallFilter=~@privileged @resources\n"
            "SystemCallErrorNumber=EPERM\n"
            "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n"
            // Per control connection a thread and up to four descriptors: its socket, its
            // thread's wake-up, and its running test's socket with the one it accepts.
            "LimitNOFILE=65536\n"
            "TasksMax=16384\n"_L1;
    text += "\n[Install]\nWantedBy=multi-user.target\n"_L1;
    return text;
}

// Blank lines around an event's text are noise in the journal.
QByteArray QtServiceSystemdUnit::journalMessage(const QString &message, const QByteArray &data)
{
    qsizetype first = 0;
    qsizetype end = message.size();
    while (first < end && (message.at(first) == u'\n' || message.at(first) == u'\r'))
        ++first;
    while (end > first && (message.at(end - 1) == u'\n' || message.at(end - 1) == u'\r'))
        --end;
    QByteArray text = QStringView(message).sliced(first, end - first).toUtf8();
    if (!data.isEmpty() && data.isValidUtf8())
        text += ": " + data;
    return text;
}

QString QtServiceSystemdUnit::statusText(QtServicePlatform::State state, const QString &detail)
{
    const bool detailed = state == QtServicePlatform::Running || state == QtServicePlatform::Paused;
    if (detailed && !detail.isEmpty())
        return statusText(state) + ": "_L1 + QString(detail).replace(u'\n', u' ');
    static constexpr struct
    {
        QtServicePlatform::State state;
        QLatin1StringView text;
    } texts[] = {
        {QtServicePlatform::Stopped, "stopped"_L1},
        {QtServicePlatform::StartPending, "start pending"_L1},
        {QtServicePlatform::StopPending, "stop pending"_L1},
        {QtServicePlatform::Running, "running"_L1},
        {QtServicePlatform::ContinuePending, "continue pending"_L1},
        {QtServicePlatform::PausePending, "pause pending"_L1},
        {QtServicePlatform::Paused, "paused"_L1},
    };
    for (const auto &entry : texts) {
        if (entry.state == state)
            return entry.text;
    }
    return QString();
}

QtServicePlatform::State QtServiceSystemdUnit::stateOf(const QString &activeState,
                                                       const QString &statusText)
{
    if (activeState == "activating"_L1)
        return QtServicePlatform::StartPending;
    if (activeState == "deactivating"_L1)
        return QtServicePlatform::StopPending;
    if (activeState != "active"_L1 && activeState != "reloading"_L1)
        return QtServicePlatform::Stopped;
    // Active: the service's own report tells paused and the pending states apart; its detail
    // follows a colon.
    const QString word = statusText.section(u':', 0, 0);
    for (const auto state : {QtServicePlatform::Paused, QtServicePlatform::PausePending,
                             QtServicePlatform::ContinuePending, QtServicePlatform::StopPending}) {
        if (word == QtServiceSystemdUnit::statusText(state))
            return state;
    }
    return QtServicePlatform::Running;
}

#pragma once

#include "client/portcheck.h"

#include <QAbstractSocket>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <utility>

// The tool's command line: what to ask which server, and how to print it.
class CheckCommandLine
{
public:
    enum class Command { Ip, Check };

    // False on a usage error (errorText says which); true also for --help and --version.
    bool parse(const QStringList &arguments);
    static QString helpText();
    static QString versionText();

    bool helpRequested() const { return m_help; }
    bool versionRequested() const { return m_version; }
    QString errorText() const { return m_error; }
    Command command() const { return m_command; }
    // The protocols checked, in the order first named: "tcp", "udp" or "tcp,udp".
    QString protocolNames() const;
    // The host without brackets; an IPv6 literal as given.
    QString server() const { return m_server; }
    // Which address family to connect over: any, or the one -4 or -6 asked for.
    QAbstractSocket::NetworkLayerProtocol family() const { return m_family; }
    quint16 port() const { return m_port; }
    int timeout() const { return m_timeout; }
    bool json() const { return m_json; }
    bool verbose() const { return m_verbose; }
    // The checks in the order they run: for each port "in", then "out".
    QList<PortCheck> checks() const;

private:
    using Target = std::pair<ControlProtocol::Protocol, quint16>;
    // Option name (long form, "-4" and "-6" as they are) to its value; empty for a flag.
    using Options = QHash<QString, QString>;

    bool readOptions(const QStringList &arguments, Options &options, QStringList &positional);
    bool parseCommand(const QStringList &positional);
    bool parseGroup(const QString &command, const QStringList &ports);
    bool parseServer(const QString &text, bool ipv4, bool ipv6, bool portGiven);
    bool parseServerPort(const QString &text, bool portGiven);
    bool parsePortOption(const QString &text);
    bool parseTimeout(const QString &text);
    bool parseDirection(const QString &text);
    bool usageError(const QString &message);

    Command m_command = Command::Ip;
    QString m_server;
    QAbstractSocket::NetworkLayerProtocol m_family = QAbstractSocket::AnyIPProtocol;
    quint16 m_port = 0;
    int m_timeout = 0;
    bool m_json = false;
    bool m_verbose = false;
    bool m_help = false;
    bool m_version = false;
    bool m_check_in = true;
    bool m_check_out = true;
    QList<Target> m_targets;
    QString m_error;
};

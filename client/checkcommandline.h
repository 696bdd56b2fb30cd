#pragma once

#include "client/portcheck.h"

#include <QList>
#include <QString>
#include <QStringList>

// The tool's command line: what to ask which server, and how to print it.
class CheckCommandLine
{
public:
    enum class Command { Ip, Tcp, Udp };

    // False on a usage error (errorText says which); true also for --help.
    bool parse(const QStringList &arguments);
    static QString helpText();

    bool helpRequested() const { return m_help; }
    QString errorText() const { return m_error; }
    Command command() const { return m_command; }
    // The protocol of a tcp or udp command.
    ControlProtocol::Protocol protocol() const;
    QString server() const { return m_server; }
    quint16 port() const { return m_port; }
    int timeout() const { return m_timeout; }
    bool json() const { return m_json; }
    bool verbose() const { return m_verbose; }
    // The checks in the order they run: for each port "in", then "out".
    QList<PortCheck> checks() const;

private:
    bool parseCommand(const QStringList &positional);
    bool parsePortOption(const QString &text);
    bool parseTimeout(const QString &text);
    bool parseDirection(const QString &text);
    bool usageError(const QString &message);

    Command m_command = Command::Ip;
    QString m_server;
    quint16 m_port = 0;
    int m_timeout = 0;
    bool m_json = false;
    bool m_verbose = false;
    bool m_help = false;
    bool m_check_in = true;
    bool m_check_out = true;
    QList<quint16> m_ports;
    QString m_error;
};

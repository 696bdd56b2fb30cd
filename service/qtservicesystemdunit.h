#pragma once

#include "service/qtserviceplatform.h"

#include <QString>

// How a service of the framework appears to systemd: its unit name, its unit file, its runtime
// directory, and the words its status reports use. Pure functions, no system calls.
class QtServiceSystemdUnit
{
public:
    // "VX Connectivity Tester" -> "vx-connectivity-tester": lower case, every run of characters
    // other than ASCII letters and digits one '-', trimmed. The name ends before a NUL (the
    // framework turns backslashes into NULs). Empty when nothing is left.
    static QString stem(const QString &serviceName);
    static QString unitName(const QString &serviceName); // stem + ".service"
    static QString unitFilePath(const QString &serviceName);
    static QString runtimeDirectory(const QString &serviceName);
    static QString logsDirectory(const QString &serviceName);
    static QString controlSocketPath(const QString &serviceName);
    static QString startArgumentsPath(const QString &serviceName);

    // The local user an account names: the part after the last backslash.
    static QString userName(const QString &account);

    // The unit file for a registration; empty when it cannot be expressed (relative path).
    static QString fileText(const QtServicePlatform::Registration &registration);

    // The program of ExecStart=, quoted so that blanks, quotes, backslashes and '%' in its
    // path reach systemd unchanged (systemd expands no '$' in the program itself).
    static QString quotedExecPath(const QString &path);
    // A value for a setting that systemd reads with specifier expansion (Description=).
    static QString escapedValue(const QString &value);

    // STATUS= words for the framework's states, and the state back from what systemd shows.
    // A running or paused service adds its detail: "running: control port 32889; ...".
    static QString statusText(QtServicePlatform::State state, const QString &detail = {});
    // An event's MESSAGE field: its text without the blank lines around it, followed by its
    // data when that is text (the reason of a failure, say).
    static QByteArray journalMessage(const QString &message, const QByteArray &data);
    static QtServicePlatform::State stateOf(const QString &activeState, const QString &statusText);
};

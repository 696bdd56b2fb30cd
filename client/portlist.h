#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

// The PORTS argument: comma-separated ports and ranges, e.g. "80,443,8000-8010".
class PortList
{
public:
    // Fills ports in the order given, each port once; false with a message on a bad list.
    static bool parse(const QString &text, QList<quint16> &ports, QString &error);

private:
    static bool parseItem(const QString &item, QList<quint16> &ports, QString &error);
    static bool parsePort(const QString &text, quint16 &port, QString &error);
};

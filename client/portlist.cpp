#include "client/portlist.h"

#include <QSet>

#include <algorithm>

using namespace Qt::StringLiterals;

bool PortList::parse(const QString &text, QList<quint16> &ports, QString &error)
{
    QList<quint16> parsed;
    for (const QString &item : text.split(u',')) {
        if (!parseItem(item.trimmed(), parsed, error))
            return false;
    }
    // A port named twice is checked once: the server's lines carry no test id, so two identical
    // checks in a row could not be told apart.
    QSet<quint16> seen;
    ports.clear();
    for (quint16 port : parsed) {
        if (!seen.contains(port)) {
            seen.insert(port);
            ports.append(port);
        }
    }
    return true;
}

bool PortList::parseItem(const QString &item, QList<quint16> &ports, QString &error)
{
    if (item.isEmpty()) {
        error = u"empty entry in the port list"_s;
        return false;
    }
    const qsizetype dash = item.indexOf(u'-');
    if (dash < 0) {
        quint16 port = 0;
        if (!parsePort(item, port, error))
            return false;
        ports.append(port);
        return true;
    }
    quint16 first = 0;
    quint16 last = 0;
    if (item.left(dash).trimmed().isEmpty() || item.mid(dash + 1).trimmed().isEmpty()) {
        error = u"range '%1' has no %2: write it as FIRST-LAST, e.g. 8000-8010"_s.arg(
            item, item.left(dash).trimmed().isEmpty() ? u"start"_s : u"end"_s);
        return false;
    }
    if (!parsePort(item.left(dash).trimmed(), first, error) ||
        !parsePort(item.mid(dash + 1).trimmed(), last, error))
        return false;
    if (first > last) {
        error = u"range %1 runs backwards"_s.arg(item);
        return false;
    }
    for (int port = first; port <= last; ++port)
        ports.append(static_cast<quint16>(port));
    return true;
}

bool PortList::parsePort(const QString &text, quint16 &port, QString &error)
{
    // Digits only: toInt alone would take "+80" or " 80".
    const bool digits = !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) {
        return c >= u'0' && c <= u'9';
    });
    bool ok = false;
    const int value = digits ? text.toInt(&ok, 10) : 0;
    if (!ok || value < 1 || value > 65535) {
        error = u"'%1' is not a port number (1 to 65535)"_s.arg(text);
        return false;
    }
    port = static_cast<quint16>(value);
    return true;
}

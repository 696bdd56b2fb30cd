#include "client/publicipquery.h"

#include "client/controlconnection.h"
#include "protocol/controlprotocol.h"

#include <QHostAddress>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {
bool isAddressCharacter(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F') ||
           c == u'.' || c == u':';
}

// The address in its usual form, or empty when the text is anything but one address. The
// characters are checked first: the parser itself skips blanks and takes a scope after '%',
// which could carry anything.
QString addressIn(const QString &text)
{
    if (text.isEmpty() || !std::all_of(text.begin(), text.end(), isAddressCharacter))
        return QString();
    const QHostAddress address(text);
    return address.isNull() ? QString() : address.toString();
}
} // namespace

PublicIpQuery::PublicIpQuery(ControlConnection &connection, int timeoutMs, QObject *parent)
    : QObject(parent), m_connection(connection), m_timeout(timeoutMs)
{
    m_limit.setSingleShot(true);
    connect(&m_limit, &QTimer::timeout, this, &PublicIpQuery::onTimeout);
}

void PublicIpQuery::start()
{
    connect(&m_connection, &ControlConnection::lineReceived, this, &PublicIpQuery::onServerLine);
    connect(&m_connection, &ControlConnection::lost, this, &PublicIpQuery::onConnectionLost);
    m_limit.start(m_timeout);
    m_connection.sendLine(ControlProtocol::GetPublicIpWord);
}

void PublicIpQuery::onServerLine(const QString &line)
{
    if (m_done || !line.startsWith(ControlProtocol::PublicIpPrefix))
        return;
    end();
    const QString answer = line.mid(ControlProtocol::PublicIpPrefix.size());
    const QString address = addressIn(answer);
    if (address.isEmpty())
        Q_EMIT rejected(answer);
    else
        Q_EMIT answered(address);
}

void PublicIpQuery::onTimeout()
{
    if (m_done)
        return;
    end();
    Q_EMIT failed(u"no answer within %1 ms"_s.arg(m_timeout), true);
}

void PublicIpQuery::onConnectionLost(const QString &reason)
{
    if (m_done)
        return;
    end();
    Q_EMIT failed(reason, false);
}

void PublicIpQuery::end()
{
    m_done = true;
    m_limit.stop();
}

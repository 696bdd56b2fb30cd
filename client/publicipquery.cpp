#include "client/publicipquery.h"

#include "client/controlconnection.h"

using namespace Qt::StringLiterals;

namespace {
constexpr auto replyPrefix = "Public IP "_L1;
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
    m_connection.sendLine(u"getpublicip"_s);
}

void PublicIpQuery::onServerLine(const QString &line)
{
    if (m_done || !line.startsWith(replyPrefix))
        return;
    end();
    Q_EMIT answered(line.mid(replyPrefix.size()).trimmed());
}

void PublicIpQuery::onTimeout()
{
    if (m_done)
        return;
    end();
    Q_EMIT failed(u"no answer within %1 ms"_s.arg(m_timeout));
}

void PublicIpQuery::onConnectionLost(const QString &reason)
{
    if (m_done)
        return;
    end();
    Q_EMIT failed(reason);
}

void PublicIpQuery::end()
{
    m_done = true;
    m_limit.stop();
}

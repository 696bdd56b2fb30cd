#include "app/conntesterservice.h"

#include "app/applogging.h"
#include "http/httpfrontdoor.h"
#include "net/tcplistener.h"
#include "server/porttesterserver.h"

#include <QHostAddress>
#include <QNetworkProxy>

#include <sys/resource.h>

using namespace Qt::StringLiterals;

namespace {
// Every control connection holds descriptors of its own; take all the system grants us, as a
// service manager's descriptor limit means the hard one.
void raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max)
        return;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
        qCDebug(lcApp, "ConnTesterService::start() - could not raise the descriptor limit to %llu",
                static_cast<unsigned long long>(limit.rlim_max));
}
} // namespace

ConnTesterService::ConnTesterService(int argc, char **argv, const Settings &settings)
    : QtService<QCoreApplication>(argc, argv, u"VX Connectivity Tester"_s), m_settings(settings)
{
    setServiceDescription(u"Vantorix Connectivity Tester Service"_s);
    setServiceFlags(CanBePaused);
}

ConnTesterService::~ConnTesterService() = default;

// The first application argument, if any, is the control port; anything that is not a port
// number gives 0, and the system then picks a free port. Without one, VX_CONTROL_PORT (kept in
// the unit's environment file across restarts) or the default.
quint16 ConnTesterService::controlPort() const
{
    const QStringList args = QCoreApplication::arguments();
    if (args.size() >= 2)
        return args.at(1).toUShort(nullptr, 10);
    return m_settings.controlPort.value_or(DefaultControlPort);
}

void ConnTesterService::logEvent(const QString &message)
{
    logMessage(message, Success);
}

void ConnTesterService::start()
{
    for (const QString &problem : m_settings.problems())
        qCDebug(lcApp, "%s, using its default", qPrintable(problem));
    raiseDescriptorLimit();
    // Tests probe direct reachability: a proxy from the system's settings would make them
    // test the proxy instead, and asking for one costs a lookup on every listen, bind and
    // connect.
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    QCoreApplication *application = QtService::application();
    const quint16 port = controlPort();
    // IPv4 and IPv6 clients alike, or IPv4 alone where the host has no IPv6.
    std::unique_ptr<QTcpServer> listener =
        TcpListener::open(QHostAddress::Any, port, PortTesterServer::ListenBacklog);
    if (!listener->isListening()) {
        qCDebug(lcApp, "%s\n",
                qPrintable(u"PortTesterServer() - listen(%1, %2) failed! Error: %3"_s.arg(
                    TcpListener::shownAddress(QHostAddress::Any), QString::number(port),
                    listener->errorString())));
        // The reason travels as the event's data: the journal shows it after the message.
        logMessage(u"Failed to bind to port %1"_s.arg(port), Error, 0, 0,
                   listener->errorString().toUtf8());
        // A run that could not serve must not end as a success.
        QCoreApplication::exit(1);
        return;
    }
    m_server = new PortTesterServer(
        m_settings.limits, m_reservation, m_budget,
        [this](const QString &message) { logEvent(message); }, application);
    m_server->serve(std::move(listener));
    logMessage(u"listening on port %1"_s.arg(m_server->serverPort()), Information, 0, 0,
               QByteArray());
    // Like the control port, a front door that cannot listen fails the run.
    if (!startFrontDoor(application)) {
        QCoreApplication::exit(1);
        return;
    }
    // Both doors hold their listeners now: what is open beyond is theirs to count.
    m_budget.measureBase();
}

bool ConnTesterService::startFrontDoor(QCoreApplication *application)
{
    const std::optional<quint16> port = m_settings.frontDoor.port;
    if (!port)
        return true;
    std::unique_ptr<QTcpServer> listener =
        TcpListener::open(QHostAddress::Any, *port, HttpFrontDoor::ListenBacklog);
    if (!listener->isListening()) {
        logMessage(u"Failed to bind to HTTP port %1"_s.arg(*port), Error, 0, 0,
                   listener->errorString().toUtf8());
        return false;
    }
    m_front_door = new HttpFrontDoor(m_settings.frontDoor, m_settings.limits, m_reservation,
                                     m_budget, application);
    m_front_door->serve(std::move(listener));
    return true;
}

void ConnTesterService::pause()
{
    if (m_server)
        m_server->pause();
    if (m_front_door)
        m_front_door->setPaused(true);
}

void ConnTesterService::resume()
{
    if (m_server)
        m_server->resume();
    if (m_front_door)
        m_front_door->setPaused(false);
}

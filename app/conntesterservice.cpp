#include "app/conntesterservice.h"

#include "app/applogging.h"
#include "http/httpfrontdoor.h"
#include "http/metricslistener.h"
#include "metrics/processmetrics.h"
#include "net/loggedtext.h"
#include "net/tcplistener.h"
#include "server/porttesterserver.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

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
    : QtService<QCoreApplication>(argc, argv, u"VX Connectivity Tester"_s), m_settings(settings),
      m_metrics(m_registry, VX_VERSION)
{
    // The product's name, as the README, the man page and the package call it.
    setServiceDescription(u"VX Connectivity Tester"_s);
    setServiceFlags(CanBePaused);
    setSettingsCheckOption(u"--check-settings"_s);
}

ConnTesterService::~ConnTesterService()
{
    setMetricSources(false);
}

// The first application argument, if any, is the control port (0: any free port); anything
// else is refused rather than read as 0. Without one, VX_CONTROL_PORT (kept in the unit's
// environment file across restarts) or the default.
std::optional<quint16> ConnTesterService::controlPort(QStringList *problems) const
{
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 2)
        return m_settings.controlPort.value_or(DefaultControlPort);
    return parsePortArgument(args.at(1), problems);
}

std::optional<quint16> ConnTesterService::parsePortArgument(const QString &text,
                                                            QStringList *problems)
{
    const bool digits =
        !text.isEmpty() && text.size() <= 5 &&
        std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    if (digits && text.toUInt() <= 65535)
        return quint16(text.toUInt());
    problems->append(
        u"port argument: \"%1\" is not a port number (0 to 65535; 0: any free port)"_s.arg(
            QString::fromUtf8(loggedText(text))));
    return std::nullopt;
}

void ConnTesterService::tell(const QString &message, MessageType type, const QByteArray &reason)
{
    // The reason travels as the event's data: the journal shows it after the message.
    logMessage(message, type, 0, 0, reason);
    if (!runsInForeground())
        return;
    if (reason.isEmpty())
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    else
        std::fprintf(stderr, "%s: %s\n", message.toLocal8Bit().constData(), reason.constData());
}

void ConnTesterService::logEvent(const QString &message)
{
    logMessage(message, Success);
}

void ConnTesterService::start()
{
    QStringList problems = m_settings.problems();
    const std::optional<quint16> chosenPort = controlPort(&problems);
    if (!problems.isEmpty()) {
        // Nothing listens in a state the user did not ask for.
        for (const QString &problem : std::as_const(problems))
            tell(problem, Error);
        QCoreApplication::exit(ConfigurationError);
        return;
    }
    if (!m_metrics.isValid() || !ProcessMetrics::registerIn(m_registry)) {
        tell(u"metrics: a figure's name is taken twice, not starting"_s, Error);
        QCoreApplication::exit(1);
        return;
    }
    raiseDescriptorLimit();
    // Tests probe direct reachability: a proxy from the system's settings would make them
    // test the proxy instead, and asking for one costs a lookup on every listen, bind and
    // connect.
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    QCoreApplication *application = QtService::application();
    const quint16 port = *chosenPort;
    // IPv4 and IPv6 clients alike, or IPv4 alone where the host has no IPv6.
    std::unique_ptr<QTcpServer> listener =
        TcpListener::open(QHostAddress::Any, port, PortTesterServer::ListenBacklog);
    if (!listener->isListening()) {
        qCDebug(lcApp, "%s\n",
                qPrintable(u"PortTesterServer() - listen(%1, %2) failed! Error: %3"_s.arg(
                    TcpListener::shownAddress(QHostAddress::Any), QString::number(port),
                    listener->errorString())));
        tell(u"Failed to bind to port %1"_s.arg(port), Error, listener->errorString().toUtf8());
        // A run that could not serve must not end as a success, nor be retried for ever.
        QCoreApplication::exit(PortUnavailable);
        return;
    }
    // Every door listens before any is announced: "listening" means the service serves.
    std::unique_ptr<QTcpServer> webListener;
    std::unique_ptr<QTcpServer> metricsListener;
    if (!listenFrontDoor(&webListener) || !listenMetrics(&metricsListener)) {
        QCoreApplication::exit(PortUnavailable);
        return;
    }
    m_server = new PortTesterServer(
        m_settings.limits, m_reservation, m_budget, m_metrics,
        [this](const QString &message) { logEvent(message); }, application);
    m_server->serve(std::move(listener));
    if (webListener && !startFrontDoor(application, std::move(webListener))) {
        QCoreApplication::exit(1);
        return;
    }
    setMetricSources(true);
    if (metricsListener) {
        m_metrics_listener = new MetricsListener(m_registry, m_budget, application);
        if (!m_metrics_listener->serve(std::move(metricsListener))) {
            tell(u"metrics: the listener could not be started"_s, Error);
            QCoreApplication::exit(1);
            return;
        }
    }
    tell(u"listening on port %1"_s.arg(m_server->serverPort()), Information);
    if (m_front_door)
        tell(u"web front door listening on port %1"_s.arg(m_front_door->serverPort()), Information);
    if (m_metrics_listener)
        tell(u"metrics listening on port %1"_s.arg(m_metrics_listener->serverPort()), Information);
    // Both doors hold their listeners now: what is open beyond is theirs to count.
    m_budget.measureBase();
    if (!runsInForeground()) {
        // The service manager's status line: ports and work under way, now and then.
        auto *timer = new QTimer(application);
        QObject::connect(timer, &QTimer::timeout, application, [this] { reportStatus(); });
        timer->start(StatusIntervalMs);
        reportStatus();
    }
}

bool ConnTesterService::listenFrontDoor(std::unique_ptr<QTcpServer> *listener)
{
    const std::optional<quint16> port = m_settings.frontDoor.port;
    if (!port)
        return true;
    *listener = TcpListener::open(QHostAddress::Any, *port, HttpFrontDoor::ListenBacklog);
    if ((*listener)->isListening())
        return true;
    tell(u"Failed to bind to HTTP port %1"_s.arg(*port), Error,
         (*listener)->errorString().toUtf8());
    return false;
}

bool ConnTesterService::listenMetrics(std::unique_ptr<QTcpServer> *listener)
{
    const std::optional<Settings::Listen> listen = m_settings.metricsListen;
    if (!listen)
        return true;
    *listener = TcpListener::open(listen->address, listen->port, MetricsListener::ListenBacklog);
    if ((*listener)->isListening())
        return true;
    tell(u"Failed to bind to metrics port %1"_s.arg(listen->port), Error,
         (*listener)->errorString().toUtf8());
    return false;
}

bool ConnTesterService::startFrontDoor(QCoreApplication *application,
                                       std::unique_ptr<QTcpServer> listener)
{
    m_front_door = new HttpFrontDoor(m_settings.frontDoor, m_settings.limits, m_reservation,
                                     m_budget, m_metrics, application);
    return m_front_door->serve(std::move(listener));
}

void ConnTesterService::setMetricSources(bool set)
{
    if (!set) {
        m_metrics.reservedPorts().clearSource();
        m_metrics.descriptorBudgetUsed().clearSource();
        m_metrics.descriptorBudgetLimit().clearSource();
        return;
    }
    m_metrics.reservedPorts().setSource([this] { return double(m_reservation.count()); });
    // What the doors' listeners and threads hold, and what their connections may hold.
    m_metrics.descriptorBudgetUsed().setSource(
        [this] { return double(m_budget.base() + m_budget.taken()); });
    m_metrics.descriptorBudgetLimit().setSource([] { return double(DescriptorBudget::limit()); });
}

void ConnTesterService::reportStatus()
{
    QString ports = u"control port %1"_s.arg(m_server->serverPort());
    if (m_front_door)
        ports += u", web port %1"_s.arg(m_front_door->serverPort());
    const qsizetype connections = m_server->clientCount();
    const qsizetype tests = m_reservation.count();
    setStatusDetail(u"%1; %2 control connection%3, %4 test%5 under way"_s.arg(
        ports, QString::number(connections), connections == 1 ? QString() : u"s"_s,
        QString::number(tests), tests == 1 ? QString() : u"s"_s));
}

void ConnTesterService::pause()
{
    // The web front door answers while paused, with a short "come back later".
    logMessage(u"paused: new control connections are turned away, web requests get 503"_s,
               Information);
    setPaused(true);
}

void ConnTesterService::resume()
{
    logMessage(u"resumed"_s, Information);
    setPaused(false);
}

void ConnTesterService::setPaused(bool paused)
{
    if (m_server)
        paused ? m_server->pause() : m_server->resume();
    if (m_front_door)
        m_front_door->setPaused(paused);
}

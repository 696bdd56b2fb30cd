#include "app/conntesterservice.h"

#include "http/httpfrontdoor.h"
#include "log/environmentsetting.h"
#include "server/porttesterserver.h"

#include <QHostAddress>
#include <QNetworkProxy>

#include <sys/resource.h>

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
        qDebug("ConnTesterService::start() - could not raise the descriptor limit to %llu",
               static_cast<unsigned long long>(limit.rlim_max));
}
} // namespace

ConnTesterService::ConnTesterService(int argc, char **argv)
    : QtService<QCoreApplication>(argc, argv, QStringLiteral("VX Connectivity Tester"))
{
    setServiceDescription(QStringLiteral("Vantorix Connectivity Tester Service"));
    setServiceFlags(CanBePaused);
}

ConnTesterService::~ConnTesterService() = default;

// The first application argument, if any, is the control port; anything that is not a port
// number gives 0, and the system then picks a free port. Without one, VX_CONTROL_PORT (kept in
// the unit's environment file across restarts) or the default.
quint16 ConnTesterService::controlPort()
{
    const QStringList args = QCoreApplication::arguments();
    if (args.size() >= 2)
        return args.at(1).toUShort(nullptr, 10);
    QByteArray malformed;
    if (const std::optional<qint64> port =
            EnvironmentSetting::number("VX_CONTROL_PORT", 65535, &malformed))
        return quint16(*port);
    if (!malformed.isEmpty())
        qDebug("ConnTesterService: VX_CONTROL_PORT=%s is not a port number, using %d",
               malformed.constData(), DefaultControlPort);
    return DefaultControlPort;
}

void ConnTesterService::start()
{
    raiseDescriptorLimit();
    // Tests probe direct reachability: a proxy from the system's settings would make them
    // test the proxy instead, and asking for one costs a lookup on every listen, bind and
    // connect.
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    QCoreApplication *application = QtService::application();
    const quint16 port = controlPort();
    // IPv4 and IPv6 clients alike, or IPv4 alone where the host has no IPv6.
    server = new PortTesterServer(QHostAddress(QHostAddress::Any), port,
                                  ServerLimits::fromEnvironment(), application);
    if (server->isListening()) {
        logMessage(QStringLiteral("listening on port %1").arg(server->serverPort()), Information, 0,
                   0, QByteArray());
        // The web front door when VX_HTTP_PORT asks for it; like the control port, one that
        // cannot listen fails the run.
        const std::optional<quint16> httpPort = HttpFrontDoor::portFromEnvironment();
        frontDoor = httpPort
                        ? new HttpFrontDoor(*httpPort, ServerLimits::fromEnvironment(), application)
                        : nullptr;
        if (!frontDoor || frontDoor->isListening())
            return;
        logMessage(QStringLiteral("Failed to bind to HTTP port %1").arg(*httpPort), Error, 0, 0,
                   frontDoor->errorString().toUtf8());
        QCoreApplication::exit(1);
        return;
    }
    // The reason travels as the event's data: the journal shows it after the message.
    logMessage(QStringLiteral("Failed to bind to port %1").arg(port), Error, 0, 0,
               server->errorString().toUtf8());
    // A run that could not serve must not end as a success.
    QCoreApplication::exit(1);
}

void ConnTesterService::pause()
{
    if (server)
        server->pause();
    if (frontDoor)
        frontDoor->setPaused(true);
}

void ConnTesterService::resume()
{
    if (server)
        server->resume();
    if (frontDoor)
        frontDoor->setPaused(false);
}

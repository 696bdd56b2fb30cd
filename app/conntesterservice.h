#pragma once

#include "app/settings.h"
#include "metrics/metricsregistry.h"
#include "metrics/testermetrics.h"
#include "net/descriptorbudget.h"
#include "net/portreservation.h"
#include "protocol/controlprotocol.h"
#include "service/qtservice.h"

#include <QCoreApplication>

#include <memory>
#include <optional>

class HttpFrontDoor;
class MetricsListener;
class QTcpServer;
class PortTesterServer;

// The one service of the executable: a control server on the control port, and the web front
// door and the metrics listener when asked for. Owns what they share: the port reservation, the
// descriptor budget and the figures they count.
class ConnTesterService : public QtService<QCoreApplication>
{
public:
    static constexpr quint16 DefaultControlPort = ControlProtocol::DefaultPort;
    // The exit status of a run refused for an unusable setting or port argument: the unit's
    // RestartPreventExitStatus, since retrying cannot mend a configuration.
    static constexpr int ConfigurationError = 78;
    // The exit status of a run whose control, web or metrics port could not be listened on: also in
    // the unit's RestartPreventExitStatus, so a taken port fails the unit once, as it fails a
    // console start, instead of restarting it every few seconds.
    static constexpr int PortUnavailable = 69;
    // How often the service manager's status line is brought up to date.
    static constexpr int StatusIntervalMs = 5000;

    // The port argument's value; none, with a line in problems, when it is no port number.
    static std::optional<quint16> parsePortArgument(const QString &text, QStringList *problems);

    ConnTesterService(int argc, char **argv, const Settings &settings);
    ~ConnTesterService() override;

protected:
    void start() override;
    void pause() override;
    void resume() override;

private:
    std::optional<quint16> controlPort(QStringList *problems) const;
    // Opens the front door's listener when VX_HTTP_PORT asks for one; false when it cannot.
    bool listenFrontDoor(std::unique_ptr<QTcpServer> *listener);
    // Opens the metrics listener when VX_METRICS_LISTEN asks for one; false when it cannot.
    bool listenMetrics(std::unique_ptr<QTcpServer> *listener);
    // Hands the figures read at scrape time their sources, or takes them back (null).
    void setMetricSources(bool set);
    bool startFrontDoor(QCoreApplication *application, std::unique_ptr<QTcpServer> listener);
    void reportStatus();
    void setPaused(bool paused);
    void logEvent(const QString &message);
    // In the journal and, in the foreground, on the console too.
    void tell(const QString &message, MessageType type, const QByteArray &reason = {});

    Settings m_settings;
    MetricsRegistry m_registry;
    TesterMetrics m_metrics;
    PortReservation m_reservation;
    DescriptorBudget m_budget;
    // Owned by the application object, which deletes them at the end of the run; all go before
    // this object, whose reservation, budget and figures they use.
    PortTesterServer *m_server = nullptr;
    // None unless VX_HTTP_PORT is set.
    HttpFrontDoor *m_front_door = nullptr;
    // None unless VX_METRICS_LISTEN is set.
    MetricsListener *m_metrics_listener = nullptr;
};

#pragma once

#include "app/settings.h"
#include "net/descriptorbudget.h"
#include "net/portreservation.h"
#include "protocol/controlprotocol.h"
#include "service/qtservice.h"

#include <QCoreApplication>

class HttpFrontDoor;
class PortTesterServer;

// The one service of the executable: a control server on the control port, and the web front
// door when asked for. Owns what both share: the port reservation and the descriptor budget.
class ConnTesterService : public QtService<QCoreApplication>
{
public:
    static constexpr quint16 DefaultControlPort = ControlProtocol::DefaultPort;
    // The exit status of a run refused for an unusable setting or port argument: the unit's
    // RestartPreventExitStatus, since retrying cannot mend a configuration.
    static constexpr int ConfigurationError = 78;

    ConnTesterService(int argc, char **argv, const Settings &settings);
    ~ConnTesterService() override;

protected:
    void start() override;
    void pause() override;
    void resume() override;

private:
    std::optional<quint16> controlPort(QStringList *problems) const;
    bool startFrontDoor(QCoreApplication *application);
    void setPaused(bool paused);
    void logEvent(const QString &message);
    // In the journal and, in the foreground, on the console too.
    void tell(const QString &message, MessageType type, const QByteArray &reason = {});

    Settings m_settings;
    PortReservation m_reservation;
    DescriptorBudget m_budget;
    // Owned by the application object, which deletes them at the end of the run; both go before
    // this object, whose reservation and budget they use.
    PortTesterServer *m_server = nullptr;
    // None unless VX_HTTP_PORT is set.
    HttpFrontDoor *m_front_door = nullptr;
};

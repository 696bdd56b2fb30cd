#pragma once

#include "protocol/controlprotocol.h"
#include "service/qtservice.h"

#include <QCoreApplication>

class HttpFrontDoor;
class PortTesterServer;

// The one service of the executable: a control server on the control port.
class ConnTesterService : public QtService<QCoreApplication>
{
public:
    static constexpr quint16 DefaultControlPort = ControlProtocol::DefaultPort;

    ConnTesterService(int argc, char **argv);
    ~ConnTesterService() override;

protected:
    void start() override;
    void pause() override;
    void resume() override;

private:
    static quint16 controlPort();

    // Owned by the application object, which deletes it at the end of the run.
    PortTesterServer *server = nullptr;
    // The same; none unless VX_HTTP_PORT is set.
    HttpFrontDoor *frontDoor = nullptr;
};

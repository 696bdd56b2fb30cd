#pragma once

#include "http/frontdoorsettings.h"
#include "net/serverlimits.h"

#include <QObject>
#include <QTcpServer>

#include <memory>

class DescriptorBudget;
class FrontDoorShared;
class HttpListener;
class PortReservation;
class TesterMetrics;

// The web front door: answers plain HTTP on the listener it is handed, with the caller's address
// and TCP port checks (see FrontDoorRoutes).
//
// Threading: created, served and destroyed in one thread (the main thread), which it never
// loads: its connections are served by worker threads with event loops of their own
// (FrontDoorSettings::threads of them), so neither this door nor the control server feels the
// other's clients. setPaused() may be called from any thread.
class HttpFrontDoor : public QObject
{
    Q_OBJECT

public:
    // Connections waiting in the kernel's queue during a burst, instead of being dropped and
    // retried by their clients seconds later.
    static constexpr int ListenBacklog = 4096;

    // `reservation` and `budget` are shared with the control server and, with `metrics`, must
    // outlive the door.
    HttpFrontDoor(const FrontDoorSettings &settings, const ServerLimits &limits,
                  PortReservation &reservation, DescriptorBudget &budget, TesterMetrics &metrics,
                  QObject *parent = nullptr);
    // Closes every connection and ends the worker threads.
    ~HttpFrontDoor() override;

    // Takes the listening socket over and serves it from now on; false when no worker thread
    // could be started.
    bool serve(std::unique_ptr<QTcpServer> listener);
    quint16 serverPort() const;

    // While paused, every request is answered 503 with Retry-After.
    void setPaused(bool paused);

private:
    std::unique_ptr<FrontDoorShared> m_shared;
    // Goes first: its workers use m_shared.
    std::unique_ptr<HttpListener> m_listener;
};

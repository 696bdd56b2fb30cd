#pragma once

#include "service/qtserviceplatform.h"

#include <QString>
#include <QThread>

class QtServiceRuntimeState;

// Runs the platform's service dispatcher, which returns only when the service has stopped,
// or at once when it fails. It hands the dispatcher the runtime's entry and control routines.
//
// Threads: dispatcherOk and fromConsole are written by this thread before it releases the
// state's argumentsReady and read by the main thread after acquiring it.
class HandlerThread : public QThread, private QtServicePlatform::Dispatcher
{
    Q_OBJECT

public:
    HandlerThread(QtServiceRuntimeState *state, const QString &serviceName);

    bool dispatcherOk = true;
    bool fromConsole = false;

protected:
    void run() override;

private:
    void serviceEntry(const QStringList &arguments) override;
    bool controlHandler(int code) override;

    QtServiceRuntimeState *const m_state;
    const QString m_service_name;
};

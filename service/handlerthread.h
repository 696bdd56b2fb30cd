#pragma once

#include "service/qtserviceplatform.h"
#include "service/qtserviceruntimestate.h"

#include <QString>
#include <QThread>

#include <functional>
#include <memory>

// Runs the platform's service dispatcher, which returns only when the service has stopped, or
// at once when it cannot begin. It owns the run's platform and runtime state, so that both
// live as long as the thread that uses them, even when it is left running.
//
// Threads: startUp() and errorString() are written by this thread before it cancels the
// state's start-up and read by the main thread once waitForStartUp() has returned true.
class HandlerThread : public QThread
{
    Q_OBJECT

public:
    enum class StartUp { Dispatching, NotStartedByManager, Failed };

    HandlerThread(const QString &serviceName, quint32 acceptedControls,
                  std::function<void(int code)> deliver);

    QtServiceRuntimeState &state() { return m_state; }
    StartUp startUp() const { return m_start_up; }
    QString errorString() const { return m_error; }

protected:
    void run() override;

private:
    const QString m_service_name;
    const std::unique_ptr<QtServicePlatform> m_platform;
    QtServiceRuntimeState m_state;
    StartUp m_start_up = StartUp::Dispatching;
    QString m_error;
};

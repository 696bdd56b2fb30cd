#pragma once

#include "service/qtservice.h"

#include <QAtomicPointer>
#include <QStringList>

class QtServiceRuntimeState;

// All state of the service object; owned by it.
class QtServiceBasePrivate
{
public:
    QtServiceBasePrivate(QtServiceBase *owner, const QString &name);
    ~QtServiceBasePrivate();
    QtServiceBasePrivate(const QtServiceBasePrivate &) = delete;
    QtServiceBasePrivate &operator=(const QtServiceBasePrivate &) = delete;

    // The foreground run: makes the application from these arguments, calls start() from inside
    // its running event loop and returns the loop's exit code, or -1 without an application.
    int runApplication(const QStringList &args);
    void callStart();

    // Runs the service under the system's service manager (or, started from a console, asks
    // the manager to start the installed service). False when the service was not started.
    bool startAsService();

    bool install(const QString &account, const QString &password);
    QString executablePath() const;

    void initRuntime();
    void cleanupRuntime();

    // Reports the accepted controls again while the service runs under the service manager.
    void updateAcceptedControls();
    // The system-log half of logMessage(); nothing where the system offers no log.
    void reportEvent(const QString &message, QtServiceBase::MessageType type, int id, uint category,
                     const QByteArray &data);

    QtServiceBase *owner;
    QString description;
    QtServiceController::StartupType startupType = QtServiceController::ManualStart;
    QtServiceBase::ServiceFlags flags;
    QStringList arguments;
    QtServiceController controller;
    QtServiceRuntimeState *runtime = nullptr;
    // The event loop's exit code of the last run under the service manager; the process ends
    // with it, so the manager sees a run that could not serve as failed.
    int serviceExitCode = 0;

    // The live service object; written by its constructor and destructor only, read by any
    // thread that reports an event while the object exists.
    static QAtomicPointer<QtServiceBase> instance;
};

#pragma once

#include "service/qtservice.h"
#include "service/qtservicecontroller_p.h"
#include "service/qtserviceoperations.h"

#include <QStringList>

#include <memory>

class HandlerThread;
class QtServicePlatform;
class QtServiceRuntimeState;

// All state of the service object and the work behind it; owned by it. It reaches the service
// object only through the operations it was handed.
class QtServiceBasePrivate
{
public:
    // The exit code of a command line that names no option of ours.
    static constexpr int UsageError = 2;

    QtServiceBasePrivate(const QString &name, const QStringList &arguments,
                         QtServiceOperations operations);
    ~QtServiceBasePrivate();
    QtServiceBasePrivate(const QtServiceBasePrivate &) = delete;
    QtServiceBasePrivate &operator=(const QtServiceBasePrivate &) = delete;

    QString serviceName() const { return m_controller.serviceName(); }

    // The command-line dispatcher; its result is the process exit code.
    int exec();
    // The foreground run calls start() through QtServiceStarter.
    void callStart();

    // Main thread: reports the accepted controls again while the service runs under the
    // service manager.
    void updateAcceptedControls();
    void setStatusDetail(const QString &detail);
    // Any thread, while the object exists.
    void logMessage(const QString &message, QtServiceBase::MessageType type, int id, uint category,
                    const QByteArray &data);

    // Set while the run is the foreground one (-e), not one under the service manager.
    bool inForeground() const { return m_in_foreground; }

    QString m_description;
    QtServiceController::StartupType m_startup_type = QtServiceController::ManualStart;
    QtServiceBase::ServiceFlags m_flags;
    QString m_check_option;

private:
    // One function per command-line option.
    int installService();
    int uninstallService();
    int printVersion();
    int runInForeground();
    int stopService();
    int pauseService();
    int resumeService();
    int sendCommand();
    int printHelp();
    int startService();

    QByteArray printableName() const;
    int printError(const char *format, int exitCode) const;
    int printUsageError(const QString &option) const;
    // "The service X could not be paused (reason)"; the result is the exit code.
    int printActionError(const char *participle, const QString &reason) const;
    // Why an action on the installed service did not take effect, in words.
    QString whyNot(const char *action);

    // The foreground run: makes the application from these arguments, calls start() from inside
    // its running event loop and returns the loop's exit code, or -1 without an application.
    int runApplication(const QStringList &arguments);
    // Runs the service under the system's service manager (or, started from a console, asks
    // the manager to start the installed service). False when the service was not started.
    bool startAsService();
    bool startFromConsole(HandlerThread &thread);
    void serve(QtServiceRuntimeState &state, bool hasApplication);
    // Main thread: a control request as the service operation it stands for.
    void deliverControl(int code);

    bool install(const QString &account, const QString &password);
    QString executablePath() const;

    const QStringList m_arguments;
    const QtServiceOperations m_operations;
    QtServiceControllerPrivate m_controller;
    const std::unique_ptr<QtServicePlatform> m_platform;
    // The run under the service manager while it lasts; main thread only.
    QtServiceRuntimeState *m_runtime = nullptr;
    // The event loop's exit code of the last run under the service manager; the process ends
    // with it, so the manager sees a run that could not serve as failed.
    int m_service_exit_code = 0;
    bool m_in_foreground = false;
};

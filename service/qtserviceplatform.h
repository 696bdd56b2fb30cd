#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// The system's service manager and system log as the service framework needs them. The framework
// above speaks in the manager's terms it was designed for (states, control codes, a status record
// of seven fields); each platform maps them onto its own manager. Failing operations leave errno
// set to the reason, so callers can report it with qErrnoWarning.
class QtServicePlatform
{
public:
    enum State : quint32 {
        Stopped = 1,
        StartPending = 2,
        StopPending = 3,
        Running = 4,
        ContinuePending = 5,
        PausePending = 6,
        Paused = 7
    };

    enum Control : int {
        StopControl = 1,
        PauseControl = 2,
        ContinueControl = 3,
        InterrogateControl = 4,
        ShutdownControl = 5,
        FirstUserControl = 128,
        LastUserControl = 255,
        StartControl = 256 // internal: the start-up of the service
    };

    enum AcceptedControl : quint32 { AcceptStop = 1, AcceptPauseContinue = 2 };

    // The record a running service reports about itself.
    struct Status
    {
        quint32 serviceType = 0;
        quint32 currentState = Stopped;
        quint32 controlsAccepted = 0;
        quint32 exitCode = 0;
        quint32 serviceSpecificExitCode = 0;
        quint32 checkPoint = 0;
        quint32 waitHint = 0;
    };

    // What an installation registers.
    struct Registration
    {
        QString serviceName;
        QString description;
        QString executablePath;
        QString account; // empty: the system's own account
        bool automaticStart = false;
        bool canBeStopped = true;
    };

    // What a query reads back from the registration.
    struct Configuration
    {
        QString executablePath;
        QString description;
        bool automaticStart = false;
    };

    enum class StopResult { Refused, Stopped, StillStopping };
    enum class DispatchResult { Finished, NotStartedByManager, Failed };

    // The service side of a running service, implemented by the framework's runtime.
    class Dispatcher
    {
    public:
        // Called once on a thread of its own with the start arguments, service name first.
        virtual void serviceEntry(const QStringList &arguments) = 0;
        // Called for each control request; false when the service refused it.
        virtual bool controlHandler(int code) = 0;

    protected:
        ~Dispatcher() = default;
    };

    // The platform of this system; created on first use, thread-safe, lives until exit.
    static QtServicePlatform *instance();

    QtServicePlatform() = default;
    virtual ~QtServicePlatform() = default;
    QtServicePlatform(const QtServicePlatform &) = delete;
    QtServicePlatform &operator=(const QtServicePlatform &) = delete;

    // True when the system's service manager runs and can be asked.
    virtual bool isAvailable() const = 0;

    // Controller side: act on the installed service of a name.
    virtual bool isInstalled(const QString &serviceName) = 0;
    virtual std::optional<State> state(const QString &serviceName) = 0;
    virtual std::optional<Configuration> configuration(const QString &serviceName) = 0;
    virtual bool install(const Registration &registration) = 0;
    virtual bool uninstall(const QString &serviceName) = 0;
    // Asks the manager to start the service with these arguments (after its name).
    virtual bool start(const QString &serviceName, const QStringList &arguments) = 0;
    // Asks the manager to stop the service and waits at most timeoutMs for it.
    virtual StopResult stop(const QString &serviceName, int timeoutMs) = 0;
    // Hands a control code to the running service; its status record once it has handled it.
    virtual std::optional<Status> control(const QString &serviceName, int code) = 0;

    // Service side. dispatch() runs the dispatcher for the service in the calling thread and
    // returns when the service has reported Stopped, or at once when this process was not
    // started by the manager as that service (or on another failure, described in *error).
    virtual DispatchResult dispatch(const QString &serviceName, Dispatcher *dispatcher,
                                    QString *error) = 0;
    // Lets control requests reach the dispatcher; a handle for reportStatus(), 0 on failure.
    virtual quintptr registerControlHandler(const QString &serviceName) = 0;
    virtual void reportStatus(quintptr handle, const Status &status) = 0;

    // System log: one entry under the service name. type is the framework's MessageType.
    virtual void reportEvent(const QString &serviceName, const QString &message, int type, int id,
                             uint category, const QByteArray &data) = 0;
};

#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

// The system's service manager and system log as the service framework needs them. The framework
// above speaks in the manager's terms it was designed for (states, control codes, a status
// record); each platform maps them onto its own manager. A call that fails returns false and
// leaves the reason in errorString().
//
// Threads: an object serves one controller thread, or one run of the service. The controller
// calls, dispatch() and errorString() belong to the thread that makes them; enableControls(),
// reportStatus() and reportEvent() may come from any thread and leave errorString() alone.
class QtServicePlatform
{
public:
    // Numbered from 1 in this order; the numbers travel in the control channel's answers.
    enum State : quint32 {
        Stopped = 1,
        StartPending,
        StopPending,
        Running,
        ContinuePending,
        PausePending,
        Paused
    };

    enum Control : int {
        StopControl = 1,
        PauseControl = 2,
        ContinueControl = 3,
        InterrogateControl = 4,
        FirstUserControl = 128,
        LastUserControl = 255,
        StartControl = 256, // internal: the start-up of the service
        ReloadControl = 257 // internal: SIGHUP under the service manager
    };

    enum AcceptedControl : quint32 { AcceptStop = 1, AcceptPauseContinue = 2 };

    // The record a running service reports about itself.
    struct Status
    {
        State currentState = Stopped;
        quint32 controlsAccepted = 0;
        // What the service says about itself beside its state while it runs or is paused
        // (ports, work under way); empty: nothing.
        QString detail;
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
        // The program's option that checks its configuration without starting (status 0 when
        // usable); a reload runs it before it signals the service. Empty: none.
        QString checkOption;
    };

    // What a query reads back from the registration.
    struct Configuration
    {
        QString executablePath;
        QString description;
        bool automaticStart = false;
    };

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

    // The platform of this system, from the implementation it is built with.
    static std::unique_ptr<QtServicePlatform> create();

    QtServicePlatform() = default;
    virtual ~QtServicePlatform() = default;
    QtServicePlatform(const QtServicePlatform &) = delete;
    QtServicePlatform &operator=(const QtServicePlatform &) = delete;

    // Why the last failing call failed.
    QString errorString() const { return m_error; }

    // True when the system's service manager runs and can be asked.
    virtual bool isAvailable() = 0;

    // Controller side: act on the installed service of a name.
    virtual bool isInstalled(const QString &serviceName) = 0;
    virtual bool queryState(const QString &serviceName, State *state) = 0;
    virtual bool queryConfiguration(const QString &serviceName, Configuration *configuration) = 0;
    virtual bool install(const Registration &registration) = 0;
    virtual bool uninstall(const QString &serviceName) = 0;
    // Asks the manager to start the service with these arguments (after its name).
    virtual bool start(const QString &serviceName, const QStringList &arguments) = 0;
    // Asks the manager to stop the service and waits at most timeoutMs for it; *stopped tells
    // whether it stopped in that time. False when the request itself was refused.
    virtual bool stop(const QString &serviceName, int timeoutMs, bool *stopped) = 0;
    // Hands a control code to the running service and waits until it has handled it.
    virtual bool control(const QString &serviceName, int code) = 0;

    // Service side. True when the manager started this process as that service.
    virtual bool startedByManager(const QString &serviceName) = 0;
    // Runs the dispatcher for the service in the calling thread and returns when the service
    // has reported Stopped; false at once when the dispatch cannot begin.
    virtual bool dispatch(const QString &serviceName, Dispatcher *dispatcher) = 0;
    // Lets control requests reach the dispatcher; false when no dispatch runs.
    virtual bool enableControls() = 0;
    virtual void reportStatus(const Status &status) = 0;

    // System log: one entry under the service name, nothing where the system keeps no log. type
    // is the framework's MessageType.
    virtual void reportEvent(const QString &serviceName, const QString &message, int type, int id,
                             uint category, const QByteArray &data) = 0;

protected:
    // Keep the reason, and return false for the failing call to return.
    bool fail(int errnoCode);
    bool fail(const QString &reason);

private:
    QString m_error;
};

#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <memory>

class QtServiceControllerPrivate;

// Acts on the installed service of one name through the system's service manager.
class QtServiceController
{
public:
    enum StartupType { AutomaticStart = 0, ManualStart = 1 };

    explicit QtServiceController(const QString &name);
    virtual ~QtServiceController();
    QtServiceController(const QtServiceController &) = delete;
    QtServiceController &operator=(const QtServiceController &) = delete;

    bool isInstalled() const;
    bool isRunning() const;

    QString serviceName() const;
    QString serviceDescription() const;
    StartupType startupType() const;
    QString serviceFilePath() const;

    static bool install(const QString &serviceFilePath, const QString &account = QString(),
                        const QString &password = QString());
    bool uninstall();

    bool start(const QStringList &arguments);
    bool start();
    bool stop();
    bool pause();
    bool resume();
    bool sendCommand(int code);

private:
    std::unique_ptr<QtServiceControllerPrivate> d_ptr;
};

class QtServiceBasePrivate;

// Base of the one service the executable provides: its identity, its settings and the
// command-line dispatcher whose result is the process exit code.
class QtServiceBase
{
public:
    enum MessageType { Success = 0, Error = 1, Warning = 2, Information = 3 };
    enum ServiceFlag { Default = 0x00, CanBePaused = 0x01, CannotBeStopped = 0x02 };
    Q_DECLARE_FLAGS(ServiceFlags, ServiceFlag)

    QtServiceBase(int argc, char **argv, const QString &name);
    virtual ~QtServiceBase();
    QtServiceBase(const QtServiceBase &) = delete;
    QtServiceBase &operator=(const QtServiceBase &) = delete;

    QString serviceName() const;
    QString serviceDescription() const;
    void setServiceDescription(const QString &description);
    QtServiceController::StartupType startupType() const;
    void setStartupType(QtServiceController::StartupType startupType);
    ServiceFlags serviceFlags() const;
    void setServiceFlags(ServiceFlags flags);
    // The program's option that checks its settings and starts nothing (status 0 when they are
    // usable): the installed service's reload runs it first. Takes effect at installation.
    void setSettingsCheckOption(const QString &option);

    int exec();

    // Reports a noteworthy event to the debug log and, where the system offers one, the system
    // log. Safe to call from any thread while the service object exists.
    void logMessage(const QString &message, MessageType type = Success, int id = 0,
                    uint category = 0, const QByteArray &data = QByteArray());

    static QtServiceBase *instance();

protected:
    // Whether this run is the foreground one (-e): then the console is the user's, and
    // start() may tell it what happened.
    bool runsInForeground() const;
    // A line for the service manager's status beside "running" or "paused" (ports, work under
    // way); nothing in the foreground. Main thread; call it now and then, not per request.
    void setStatusDetail(const QString &detail);

    virtual void start() = 0;
    virtual void stop();
    virtual void pause();
    virtual void resume();
    virtual void processCommand(int code);

    virtual void createApplication(int &argc, char **argv) = 0;
    virtual int executeApplication() = 0;

private:
    std::unique_ptr<QtServiceBasePrivate> d_ptr;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(QtServiceBase::ServiceFlags)

// Binds the service base to a Qt application class.
template<typename Application> class QtService : public QtServiceBase
{
public:
    QtService(int argc, char **argv, const QString &name) : QtServiceBase(argc, argv, name) {}

protected:
    Application *application() const { return app; }

    void createApplication(int &argc, char **argv) override { app = new Application(argc, argv); }
    int executeApplication() override { return Application::exec(); }

private:
    // Deleted by the framework at the end of each run; not reset, so unusable after a run.
    Application *app = nullptr;
};

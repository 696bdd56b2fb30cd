// A service of the framework for its tests, named by VX_NAME (default "VX Service Child"). Its
// start prints what it sees; with VX_EXIT set it then ends the run with that code. Otherwise it
// reports every service operation and user command to the system log, with what the tester
// does not do: it can be installed to start automatically, commands 7 and 9 make it slow to
// stop and slow to end, and the start argument "no-pause" makes it refuse pause and continue.
// "query" prints what the controller reads back from the installed service.
#include "service/qtservice.h"

#include <QThread>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

QString childName()
{
    return qEnvironmentVariableIsSet("VX_NAME") ? qEnvironmentVariable("VX_NAME")
                                                : u"VX Service Child"_s;
}

class ChildService : public QtService<QCoreApplication>
{
public:
    ChildService(int argc, char **argv) : QtService<QCoreApplication>(argc, argv, childName())
    {
        setServiceDescription(u"Service framework test child"_s);
        setServiceFlags(CanBePaused);
        if (qEnvironmentVariable("VX_CHILD_STARTUP") == "automatic"_L1)
            setStartupType(QtServiceController::AutomaticStart);
    }

protected:
    void start() override
    {
        const QString args = QCoreApplication::arguments().join(u'|');
        std::printf("start #%d inLoop=%d app=%d args=%s\n", ++m_starts,
                    int(QThread::currentThread()->loopLevel() > 0),
                    int(application() == QCoreApplication::instance()), qPrintable(args));
        std::fflush(stdout);
        qDebug("started"); // opens the debug log
        // A second start would print again before the loop ends.
        if (qEnvironmentVariableIsSet("VX_EXIT"))
            return QCoreApplication::exit(qEnvironmentVariableIntValue("VX_EXIT"));
        report(u"child started: "_s + args);
        // Started with "no-pause", it takes back what it accepts while it runs.
        if (QCoreApplication::arguments().contains(u"no-pause"_s))
            setServiceFlags(Default);
    }
    void stop() override
    {
        report(u"child stopping"_s);
        // Simulates a service whose stop takes longer than the controller waits (2 s).
        if (m_slow_stop)
            QThread::sleep(4);
    }
    void pause() override { report(u"child paused"_s); }
    void resume() override { report(u"child resumed"_s); }
    void processCommand(int code) override
    {
        report(u"child command %1"_s.arg(code));
        m_slow_stop = m_slow_stop || code == 7;
        if (code == 9) {
            m_hold_after_loop = true;
            QCoreApplication::quit();
        }
    }
    int executeApplication() override
    {
        const int result = QtService<QCoreApplication>::executeApplication();
        // Keeps the process busy after its event loop has ended, so that control requests
        // arrive while nothing can handle them any more.
        if (m_hold_after_loop)
            QThread::sleep(3);
        return result;
    }

private:
    void report(const QString &text) { logMessage(text, Information); }

    int m_starts = 0;
    bool m_slow_stop = false;
    bool m_hold_after_loop = false;
};

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && qstrcmp(argv[1], "query") == 0) {
        const QtServiceController controller(childName());
        std::printf("%s|%s|%d|%d|%d\n", qPrintable(controller.serviceFilePath()),
                    qPrintable(controller.serviceDescription()), int(controller.startupType()),
                    int(controller.isInstalled()), int(controller.isRunning()));
        return 0;
    }
    ChildService service(argc, argv);
    const int result = service.exec();
    std::printf("exec returned %d\n", result);
    return result;
}

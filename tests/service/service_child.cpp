// A second service of the framework for the tests, with what the tester itself does not do:
// it can be installed to start automatically, and it reports every service operation and
// user command to the system log. Commands 7 and 9 make it slow to stop and slow to end; the
// start argument "no-pause" makes it refuse pause and continue. "query" prints what the
// controller reads back from the installed service.
#include "service/qtservice.h"

#include <QThread>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

class ChildService : public QtService<QCoreApplication>
{
public:
    ChildService(int argc, char **argv)
        : QtService<QCoreApplication>(argc, argv, u"VX Service Child"_s)
    {
        setServiceDescription(u"Service framework test child"_s);
        setServiceFlags(CanBePaused);
        if (qEnvironmentVariable("VX_CHILD_STARTUP") == "automatic"_L1)
            setStartupType(QtServiceController::AutomaticStart);
    }

protected:
    void start() override
    {
        report(u"child started: "_s + QCoreApplication::arguments().join(u'|'));
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
        if (code == 7)
            m_slow_stop = true;
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

    bool m_slow_stop = false;
    bool m_hold_after_loop = false;
};

} // namespace

int main(int argc, char **argv)
{
    // "query": what the controller reads back from the installed service, on one line.
    if (argc == 2 && qstrcmp(argv[1], "query") == 0) {
        const QtServiceController controller(u"VX Service Child"_s);
        std::printf("%s|%s|%d|%d|%d\n", qPrintable(controller.serviceFilePath()),
                    qPrintable(controller.serviceDescription()), int(controller.startupType()),
                    int(controller.isInstalled()), int(controller.isRunning()));
        return 0;
    }
    ChildService service(argc, argv);
    return service.exec();
}

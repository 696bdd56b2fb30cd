// A service of the framework in a process of its own. Its name comes from VX_NAME (default
// "Test Service"). start() prints what it sees and either ends the run with the code in
// VX_EXIT or, with VX_WAIT set, keeps running until the process is signalled.
#include "service/qtservice.h"

#include <QAbstractEventDispatcher>
#include <QThread>

#include <cstdio>

class TestService : public QtService<QCoreApplication>
{
public:
    TestService(int argc, char **argv)
        : QtService<QCoreApplication>(argc, argv, nameFromEnvironment())
    {
    }

protected:
    void start() override
    {
        ++m_starts;
        const bool inLoop = QThread::currentThread()->loopLevel() > 0;
        std::printf("start #%d inLoop=%d app=%d args=%s\n", m_starts, int(inLoop),
                    int(application() == QCoreApplication::instance()),
                    qPrintable(QCoreApplication::arguments().join(u'|')));
        std::fflush(stdout);
        qDebug("started");
        if (qEnvironmentVariableIsSet("VX_WAIT"))
            return;
        // A second start would print again before the loop ends.
        QCoreApplication::exit(qEnvironmentVariableIntValue("VX_EXIT"));
    }

private:
    static QString nameFromEnvironment()
    {
        return qEnvironmentVariableIsSet("VX_NAME") ? qEnvironmentVariable("VX_NAME")
                                                    : QStringLiteral("Test Service");
    }

    int m_starts = 0;
};

int main(int argc, char **argv)
{
    TestService service(argc, argv);
    const int result = service.exec();
    std::printf("exec returned %d\n", result);
    return result;
}

// Runs the debug log in a process of its own: "fatal" ends with a fatal message,
// "threads [bound]" logs 500 lines from each of 8 threads while the main thread closes the log
// repeatedly (as the post routine would), then exits normally.
#include "log/debuglog.h"

#include <QCoreApplication>
#include <QThread>

#include <cstring>
#include <memory>
#include <vector>

int main(int argc, char **argv)
{
    if (argc >= 3)
        DebugLog::configure(QString(), QByteArray(argv[2]).toLongLong());
    DebugLog::install();
    if (argc >= 2 && std::strcmp(argv[1], "fatal") == 0) {
        qDebug("before the end");
        qFatal("the end %d", 42);
        return 3; // not reached: the log ends the process with 1
    }
    if (argc >= 2 && std::strcmp(argv[1], "threads") == 0) {
        std::vector<std::unique_ptr<QThread>> workers;
        for (int t = 0; t < 8; ++t) {
            workers
                .emplace_back(QThread::create([t] {
                    for (int i = 0; i < 500; ++i)
                        qDebug("thread %d line %d", t, i);
                }))
                ->start();
        }
        for (int i = 0; i < 200; ++i)
            DebugLog::close();
        for (auto &worker : workers)
            worker->wait();
        DebugLog::close();
        return 0;
    }
    return 2;
}

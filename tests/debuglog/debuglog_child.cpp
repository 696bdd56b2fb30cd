// Runs the debug log in a process of its own: "fatal" ends with a fatal message,
// "threads N M" logs M lines from each of N threads while the main thread closes the log
// repeatedly (as the post routine would), then exits normally.
#include "log/debuglog.h"

#include <QCoreApplication>
#include <QThread>

#include <cstring>
#include <vector>

int main(int argc, char **argv)
{
    DebugLog::install();
    if (argc >= 2 && std::strcmp(argv[1], "fatal") == 0) {
        qDebug("before the end");
        qFatal("the end %d", 42);
        return 3; // not reached: the log ends the process with 1
    }
    if (argc >= 4 && std::strcmp(argv[1], "threads") == 0) {
        const int threads = std::atoi(argv[2]);
        const int lines = std::atoi(argv[3]);
        std::vector<QThread *> workers;
        for (int t = 0; t < threads; ++t) {
            workers.push_back(QThread::create([t, lines] {
                for (int i = 0; i < lines; ++i)
                    qDebug("thread %d line %d", t, i);
            }));
            workers.back()->start();
        }
        for (int i = 0; i < 200; ++i)
            DebugLog::close();
        for (QThread *worker : workers) {
            worker->wait();
            delete worker;
        }
        DebugLog::close();
        return 0;
    }
    return 2;
}

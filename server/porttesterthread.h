#pragma once

#include <QThread>

// Worker thread of one control connection: runs an event loop for the connection's handler,
// socket and tests until told to quit.
class PortTesterThread : public QThread
{
    Q_OBJECT

public:
    explicit PortTesterThread(QObject *parent = nullptr);
};

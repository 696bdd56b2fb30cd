#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

// Turns SIGINT, SIGTERM and SIGHUP into a signal on the event loop's thread. The handler only
// writes the signal number into a pipe; everything else happens in the slot behind the notifier.
// One instance at a time; the previous dispositions come back when it is destroyed.
class QtServiceSignalPipe : public QObject
{
    Q_OBJECT

public:
    explicit QtServiceSignalPipe(QObject *parent = nullptr);
    ~QtServiceSignalPipe() override;

    bool isValid() const { return m_notifier != nullptr; }
    // Why the pipe could not be made.
    QString errorString() const { return m_error; }

Q_SIGNALS:
    void signalReceived(int signalNumber);

private:
    void onReadable();

    QString m_error;
    int m_fds[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> m_notifier;
};

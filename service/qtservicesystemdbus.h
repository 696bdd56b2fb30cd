#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>

struct sd_bus;

// One connection to systemd's manager over its D-Bus API, for the duration of one controller
// operation. As root it uses the manager's private socket, which works without a bus daemon;
// otherwise the system bus. Every call returns a negative errno on failure (0 or more on
// success) and keeps the bus error's text for errorString().
class QtServiceSystemdBus
{
public:
    QtServiceSystemdBus();
    ~QtServiceSystemdBus();
    QtServiceSystemdBus(const QtServiceSystemdBus &) = delete;
    QtServiceSystemdBus &operator=(const QtServiceSystemdBus &) = delete;

    int open();
    QString errorString() const { return m_error; }

    // Loads the unit (from disk if needed) and gives its object path.
    int loadUnit(const QString &unit, QByteArray *path);
    int unitProperty(const QByteArray &path, const char *name, QString *value);
    int serviceProperty(const QByteArray &path, const char *name, QString *value);
    // The program of the first ExecStart= command.
    int execStartPath(const QByteArray &path, QString *value);

    int reload();
    int enableUnitFile(const QString &unit);
    int disableUnitFile(const QString &unit);
    int resetFailed(const QString &unit);

    // Sends JobRemoved signals to this connection; needed before waitForJob().
    int subscribe();
    int startUnit(const QString &unit, QByteArray *job);
    int stopUnit(const QString &unit, QByteArray *job);
    // Waits for the job to end; its result ("done", "failed", ...) or a null string when the
    // deadline passed first. Negative errno when the bus fails.
    int waitForJob(const QByteArray &job, QDeadlineTimer deadline, QByteArray *result);

private:
    int fail(int r, const char *what);
    int callManager(const char *method, const char *types, const QByteArray &a1,
                    const char *a2 = nullptr, QByteArray *objectPath = nullptr);
    int getString(const QByteArray &path, const char *interface, const char *name, QString *value);

    sd_bus *m_bus = nullptr;
    QString m_error;
    QByteArray m_pending_job;
    QByteArray m_job_result;
    bool m_job_done = false;
};

#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>

struct sd_bus;

// One connection to systemd's manager over its D-Bus API, for the duration of one controller
// operation. As root it uses the manager's private socket, which works without a bus daemon;
// otherwise the system bus. A call that fails returns false and leaves the reason in
// errorString().
class QtServiceSystemdBus
{
public:
    QtServiceSystemdBus();
    ~QtServiceSystemdBus();
    QtServiceSystemdBus(const QtServiceSystemdBus &) = delete;
    QtServiceSystemdBus &operator=(const QtServiceSystemdBus &) = delete;

    bool open();
    QString errorString() const { return m_error; }

    // Loads the unit (from disk if needed) and gives its object path.
    bool loadUnit(const QString &unit, QByteArray *path);
    bool unitProperty(const QByteArray &path, const char *name, QString *value);
    bool serviceProperty(const QByteArray &path, const char *name, QString *value);
    bool serviceFlag(const QByteArray &path, const char *name, bool *value);
    // The program of the first ExecStart= command.
    bool execStartPath(const QByteArray &path, QString *value);

    bool reload();
    bool enableUnitFile(const QString &unit);
    bool disableUnitFile(const QString &unit);
    bool resetFailed(const QString &unit);

    // Sends JobRemoved signals to this connection; needed before waitForJob().
    bool subscribe();
    bool startUnit(const QString &unit, QByteArray *job);
    bool stopUnit(const QString &unit, QByteArray *job);
    // Waits for the job to end; its result ("done", "failed", ...) or a null string when the
    // deadline passed first. False when the bus fails.
    bool waitForJob(const QByteArray &job, QDeadlineTimer deadline, QByteArray *result);

private:
    bool fail(int r);
    // One call of a manager method; objectPath (if given) gets the object path it answers.
    template<typename... Args>
    bool callManager(const char *method, QByteArray *objectPath, const char *types, Args... args);
    bool getString(const QByteArray &path, const char *interface, const char *name, QString *value);

    sd_bus *m_bus = nullptr;
    QString m_error;
    QByteArray m_pending_job;
    QByteArray m_job_result;
    bool m_job_done = false;
};

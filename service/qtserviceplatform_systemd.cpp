#include "service/qtserviceplatform_systemd.h"

#include "service/qtservicecontrolchannel.h"
#include "service/qtservicesystemdbus.h"
#include "service/qtservicesystemddispatcher.h"
#include "service/qtservicesystemdunit.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QMutexLocker>

#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>

#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// How long a start from the controller waits for the service to report that it runs, and an
// uninstall for the service to stop. Beyond them the request stands but is not waited for.
constexpr int s_start_wait_ms = 30000;
constexpr int s_uninstall_stop_wait_ms = 10000;
// How long a control code may take the service's main thread.
constexpr int s_control_timeout_ms = 30000;

bool isActive(QtServicePlatform::State state)
{
    return state != QtServicePlatform::Stopped;
}

// Connection events (Success) come by the thousand on a public tester: info, which
// "journalctl -p notice" leaves out; the service's own state changes (Information) are notice.
int journalPriority(int type)
{
    switch (type) {
    case 1: // Error
        return 3;
    case 2: // Warning
        return 4;
    case 3: // Information
        return 5;
    default: // Success and anything else
        return 6;
    }
}

quint32 severityBits(int type)
{
    switch (type) {
    case 1:
        return 0xE0000000;
    case 2:
        return 0xA0000000;
    case 3:
        return 0x60000000;
    default:
        return 0x20000000;
    }
}

iovec field(const QByteArray &data)
{
    return iovec{const_cast<char *>(data.constData()), size_t(data.size())};
}

} // namespace

std::unique_ptr<QtServicePlatform> QtServicePlatform::create()
{
    return std::make_unique<QtServicePlatformSystemd>();
}

bool QtServicePlatformSystemd::isAvailable()
{
    // 0: systemd's run directory is missing; negative: it could not be looked for.
    const int booted = sd_booted();
    return booted > 0 || fail(booted < 0 ? -booted : ENOENT);
}

bool QtServicePlatformSystemd::failed(const QtServiceSystemdBus &bus)
{
    return fail(bus.errorString());
}

bool QtServicePlatformSystemd::lookUpUser(const QString &user, uid_t *uid, gid_t *gid)
{
    errno = 0;
    const passwd *entry = ::getpwnam(QFile::encodeName(user).constData());
    if (!entry)
        return fail(errno == 0 ? ENOENT : errno);
    *uid = entry->pw_uid;
    *gid = entry->pw_gid;
    return true;
}

bool QtServicePlatformSystemd::writeFile(const QString &path, const QByteArray &data, mode_t mode,
                                         uid_t uid, gid_t gid)
{
    // Created under a temporary name with its final mode and owner, then renamed, so that
    // no one else can read it in between and the service never sees half of it.
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temporary = target + ".new";
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return fail(errno);
    bool ok = ::fchmod(fd, mode) == 0 && ::fchown(fd, uid, gid) == 0 &&
              ::write(fd, data.constData(), size_t(data.size())) == data.size();
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temporary.constData(), target.constData()) == 0;
    if (!ok) {
        fail(errno);
        ::unlink(temporary.constData());
    }
    return ok;
}

bool QtServicePlatformSystemd::installedUnit(QtServiceSystemdBus &bus, const QString &serviceName,
                                             QByteArray *unit)
{
    const QString unitName = QtServiceSystemdUnit::unitName(serviceName);
    if (unitName.isEmpty())
        return fail(EINVAL);
    QString loadState;
    if (!bus.loadUnit(unitName, unit) || !bus.unitProperty(*unit, "LoadState", &loadState))
        return failed(bus);
    if (loadState == "not-found"_L1 || loadState == "stub"_L1)
        return fail(ENOENT);
    return true;
}

bool QtServicePlatformSystemd::openInstalledUnit(QtServiceSystemdBus &bus,
                                                 const QString &serviceName, QByteArray *unit)
{
    if (!bus.open())
        return failed(bus);
    return installedUnit(bus, serviceName, unit);
}

bool QtServicePlatformSystemd::unitState(QtServiceSystemdBus &bus, const QByteArray &unit,
                                         State *state)
{
    QString activeState;
    QString statusText;
    if (!bus.unitProperty(unit, "ActiveState", &activeState) ||
        !bus.serviceProperty(unit, "StatusText", &statusText))
        return failed(bus);
    *state = QtServiceSystemdUnit::stateOf(activeState, statusText);
    return true;
}

bool QtServicePlatformSystemd::isInstalled(const QString &serviceName)
{
    QtServiceSystemdBus bus;
    QByteArray unit;
    return openInstalledUnit(bus, serviceName, &unit);
}

bool QtServicePlatformSystemd::queryState(const QString &serviceName, State *state)
{
    QtServiceSystemdBus bus;
    QByteArray unit;
    return openInstalledUnit(bus, serviceName, &unit) && unitState(bus, unit, state);
}

bool QtServicePlatformSystemd::queryConfiguration(const QString &serviceName,
                                                  Configuration *configuration)
{
    QtServiceSystemdBus bus;
    QByteArray unit;
    if (!openInstalledUnit(bus, serviceName, &unit))
        return false;
    QString enablement;
    if (!bus.execStartPath(unit, &configuration->executablePath) ||
        !bus.unitProperty(unit, "Description", &configuration->description) ||
        !bus.unitProperty(unit, "UnitFileState", &enablement))
        return failed(bus);
    configuration->automaticStart =
        enablement == "enabled"_L1 || enablement == "enabled-runtime"_L1;
    return true;
}

bool QtServicePlatformSystemd::install(const Registration &registration)
{
    const QString text = QtServiceSystemdUnit::fileText(registration);
    if (text.isEmpty())
        return fail(EINVAL);
    // The account must name a user of this system; the unit file itself belongs to root.
    uid_t uid = 0;
    gid_t gid = 0;
    if (!registration.account.isEmpty() &&
        !lookUpUser(QtServiceSystemdUnit::userName(registration.account), &uid, &gid))
        return false;

    QtServiceSystemdBus bus;
    if (!bus.open())
        return failed(bus);
    const QString path = QtServiceSystemdUnit::unitFilePath(registration.serviceName);
    if (!writeFile(path, text.toUtf8(), 0644, 0, 0))
        return false;
    if (loadInstalledFile(bus, registration))
        return true;
    // Leave nothing half-installed behind.
    QFile::remove(path);
    bus.reload();
    return false;
}

bool QtServicePlatformSystemd::loadInstalledFile(QtServiceSystemdBus &bus,
                                                 const Registration &registration)
{
    const QString unitName = QtServiceSystemdUnit::unitName(registration.serviceName);
    QByteArray unit;
    QString loadState;
    if (!bus.reload() || !bus.loadUnit(unitName, &unit) ||
        !bus.unitProperty(unit, "LoadState", &loadState))
        return failed(bus);
    if (loadState != "loaded"_L1)
        return fail(EINVAL); // systemd did not accept the unit file
    if (registration.automaticStart && !(bus.enableUnitFile(unitName) && bus.reload()))
        return failed(bus);
    return true;
}

bool QtServicePlatformSystemd::uninstall(const QString &serviceName)
{
    QtServiceSystemdBus bus;
    QByteArray unit;
    if (!openInstalledUnit(bus, serviceName, &unit))
        return false;
    const QString ownFile = QtServiceSystemdUnit::unitFilePath(serviceName);
    QString fragment;
    if (!bus.unitProperty(unit, "FragmentPath", &fragment))
        return failed(bus);
    // A unit file of that name from elsewhere, a package's say, is its owner's to remove.
    if (fragment != ownFile)
        return fail("the unit file "_L1 + fragment +
                    " was not installed by this program; remove the package that installed it"_L1);
    // A service removed while it runs would linger as a unit without a file; stop it first.
    State current = Stopped;
    if (unitState(bus, unit, &current) && isActive(current))
        stopUnit(bus, serviceName, s_uninstall_stop_wait_ms);
    if (!removeUnitFile(bus, serviceName))
        return false;
    QByteArray after;
    QString loadState;
    const QString unitName = QtServiceSystemdUnit::unitName(serviceName);
    if (!bus.loadUnit(unitName, &after) || !bus.unitProperty(after, "LoadState", &loadState))
        return failed(bus);
    if (loadState == "not-found"_L1)
        return true;
    // A package's unit of the same name, hidden by ours until now, is not ours to remove.
    QString fragmentAfter;
    return (bus.unitProperty(after, "FragmentPath", &fragmentAfter) && !fragmentAfter.isEmpty() &&
            fragmentAfter != ownFile) ||
           fail(EBUSY); // still known to systemd
}

bool QtServicePlatformSystemd::removeUnitFile(QtServiceSystemdBus &bus, const QString &serviceName)
{
    const QString unitName = QtServiceSystemdUnit::unitName(serviceName);
    if (!bus.disableUnitFile(unitName))
        return failed(bus);
    QFile file(QtServiceSystemdUnit::unitFilePath(serviceName));
    if (!file.remove())
        return fail(file.errorString());
    if (!bus.reload())
        return failed(bus);
    bus.resetFailed(unitName);
    return true;
}

bool QtServicePlatformSystemd::writeStartArguments(QtServiceSystemdBus &bus, const QByteArray &unit,
                                                   const QString &serviceName,
                                                   const QStringList &arguments)
{
    const QString path = QtServiceSystemdUnit::startArgumentsPath(serviceName);
    if (arguments.isEmpty()) {
        QFile::remove(path); // whatever an interrupted start may have left
        return true;
    }
    // Readable by root and the service's own user only; the service removes it when it has
    // read it, and systemd removes the runtime directory when the service stops.
    QString user;
    bool dynamicUser = false;
    uid_t uid = 0;
    gid_t gid = 0;
    if (!bus.serviceProperty(unit, "User", &user) ||
        !bus.serviceFlag(unit, "DynamicUser", &dynamicUser))
        return failed(bus);
    // A dynamic user exists only while its service runs; systemd hands the runtime directory,
    // this file included, over to it at start.
    if (!user.isEmpty() && !dynamicUser && !lookUpUser(user, &uid, &gid))
        return false;
    const QString directory = QtServiceSystemdUnit::runtimeDirectory(serviceName);
    if (!QDir().mkpath(directory))
        return fail("cannot create "_L1 + directory);
    QByteArray data;
    for (const QString &argument : arguments)
        data += argument.toUtf8() + '\0';
    return writeFile(path, data, 0600, uid, gid);
}

bool QtServicePlatformSystemd::start(const QString &serviceName, const QStringList &arguments)
{
    QtServiceSystemdBus bus;
    QByteArray unit;
    State current = Stopped;
    if (!openInstalledUnit(bus, serviceName, &unit) || !unitState(bus, unit, &current))
        return false;
    if (isActive(current))
        return fail(EALREADY);
    if (!writeStartArguments(bus, unit, serviceName, arguments))
        return false;
    QByteArray job;
    QByteArray result;
    const QString unitName = QtServiceSystemdUnit::unitName(serviceName);
    bool ok = bus.subscribe() && bus.startUnit(unitName, &job) &&
              bus.waitForJob(job, QDeadlineTimer(s_start_wait_ms), &result);
    if (!ok) {
        failed(bus);
    } else if (!result.isNull() && result != "done") {
        // The start job failed: no restart may bring the service up later on other arguments
        // (they are removed below), so a start that failed leaves it stopped.
        stopUnit(bus, serviceName, s_start_wait_ms);
        ok = fail("it stopped while starting; the system log has the reason (journalctl -u "_L1 +
                  unitName + u')');
    }
    // (A null result: still starting after the wait; the request itself was accepted.)
    if (!ok)
        QFile::remove(QtServiceSystemdUnit::startArgumentsPath(serviceName));
    return ok;
}

bool QtServicePlatformSystemd::stopUnit(QtServiceSystemdBus &bus, const QString &serviceName,
                                        int timeoutMs)
{
    QByteArray job;
    if (!bus.subscribe() || !bus.stopUnit(QtServiceSystemdUnit::unitName(serviceName), &job))
        return failed(bus);
    // The state the unit is left in tells the callers what they need, not the job's result.
    QByteArray result;
    bus.waitForJob(job, QDeadlineTimer(timeoutMs), &result);
    return true;
}

bool QtServicePlatformSystemd::stop(const QString &serviceName, int timeoutMs, bool *stopped)
{
    *stopped = false;
    QtServiceSystemdBus bus;
    QByteArray unit;
    State current = Stopped;
    if (!openInstalledUnit(bus, serviceName, &unit) || !unitState(bus, unit, &current))
        return false;
    if (!isActive(current))
        return fail(ESRCH); // nothing to stop
    if (!stopUnit(bus, serviceName, timeoutMs))
        return false;
    State after = Stopped;
    *stopped = unitState(bus, unit, &after) && !isActive(after);
    return true;
}

bool QtServicePlatformSystemd::control(const QString &serviceName, int code)
{
    if (!isInstalled(serviceName))
        return false;
    QtServiceControlChannel channel;
    return channel.request(QtServiceSystemdUnit::controlSocketPath(serviceName), code,
                           s_control_timeout_ms) ||
           fail(channel.errorString());
}

bool QtServicePlatformSystemd::startedByManager(const QString &serviceName)
{
    return QtServiceSystemdDispatcher::startedByManager(serviceName);
}

bool QtServicePlatformSystemd::dispatch(const QString &serviceName, Dispatcher *dispatcher)
{
    QtServiceSystemdDispatcher serviceSide(serviceName, dispatcher);
    {
        QMutexLocker locker(&m_mutex);
        m_dispatcher = &serviceSide;
    }
    const bool ok = serviceSide.exec();
    {
        QMutexLocker locker(&m_mutex);
        m_dispatcher = nullptr;
    }
    return ok || fail(serviceSide.errorString());
}

bool QtServicePlatformSystemd::enableControls()
{
    QMutexLocker locker(&m_mutex);
    if (!m_dispatcher)
        return false;
    m_dispatcher->enableControls();
    return true;
}

void QtServicePlatformSystemd::reportStatus(const Status &status)
{
    QMutexLocker locker(&m_mutex);
    if (m_dispatcher)
        m_dispatcher->report(status);
}

void QtServicePlatformSystemd::reportEvent(const QString &serviceName, const QString &message,
                                           int type, int id, uint category, const QByteArray &data)
{
    if (sd_booted() <= 0)
        return; // no journal to write to
    const quint32 eventId = (quint32(id) & 0xFFFF) | severityBits(type);
    const QByteArray fields[] = {
        "MESSAGE=" + QtServiceSystemdUnit::journalMessage(message, data),
        "PRIORITY=" + QByteArray::number(journalPriority(type)),
        // The program's name, as its unit's own lines carry it: "journalctl -t" finds both.
        "SYSLOG_IDENTIFIER=" + QtServiceSystemdUnit::stem(serviceName).toUtf8(),
        "EVENT_ID=0x" + QByteArray::number(eventId, 16).toUpper().rightJustified(8, '0'),
        "EVENT_CATEGORY=" + QByteArray::number(category & 0xFFFF),
        "EVENT_DATA=" + data,
    };
    iovec vector[std::size(fields)];
    int count = 0;
    for (const QByteArray &f : fields) {
        if (f == "EVENT_DATA=")
            continue; // no raw data: no field
        vector[count++] = field(f);
    }
    sd_journal_sendv(vector, count);
}

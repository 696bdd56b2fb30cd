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

// The user a registration runs as, looked up; false with errno set when there is none.
bool lookUpUser(const QString &user, uid_t *uid, gid_t *gid)
{
    errno = 0;
    const passwd *entry = ::getpwnam(QFile::encodeName(user).constData());
    if (!entry) {
        if (errno == 0)
            errno = ENOENT;
        return false;
    }
    *uid = entry->pw_uid;
    *gid = entry->pw_gid;
    return true;
}

bool writeFile(const QString &path, const QByteArray &data, mode_t mode, uid_t uid, gid_t gid)
{
    // Created under a temporary name with its final mode and owner, then renamed, so that
    // no one else can read it in between and the service never sees half of it.
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temporary = target + ".new";
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    bool ok = ::fchmod(fd, mode) == 0 && ::fchown(fd, uid, gid) == 0 &&
              ::write(fd, data.constData(), size_t(data.size())) == data.size();
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(temporary.constData(), target.constData()) == 0)
        return true;
    const int saved = errno;
    ::unlink(temporary.constData());
    errno = saved;
    return false;
}

int journalPriority(int type)
{
    switch (type) {
    case 1: // Error
        return 3;
    case 2: // Warning
        return 4;
    case 3: // Information
        return 6;
    default: // Success and anything else
        return 5;
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

bool QtServicePlatformSystemd::isAvailable() const
{
    return sd_booted() > 0;
}

QByteArray QtServicePlatformSystemd::installedUnit(QtServiceSystemdBus &bus,
                                                   const QString &serviceName)
{
    const QString unit = QtServiceSystemdUnit::unitName(serviceName);
    if (unit.isEmpty()) {
        errno = EINVAL;
        return QByteArray();
    }
    QByteArray path;
    QString loadState;
    if (bus.loadUnit(unit, &path) < 0 || bus.unitProperty(path, "LoadState", &loadState) < 0)
        return QByteArray();
    if (loadState == "not-found"_L1 || loadState == "stub"_L1) {
        errno = ENOENT;
        return QByteArray();
    }
    return path;
}

QByteArray QtServicePlatformSystemd::openInstalledUnit(QtServiceSystemdBus &bus,
                                                       const QString &serviceName)
{
    return bus.open() < 0 ? QByteArray() : installedUnit(bus, serviceName);
}

std::optional<QtServicePlatform::State>
QtServicePlatformSystemd::unitState(QtServiceSystemdBus &bus, const QByteArray &unit)
{
    QString activeState;
    QString statusText;
    if (bus.unitProperty(unit, "ActiveState", &activeState) < 0 ||
        bus.serviceProperty(unit, "StatusText", &statusText) < 0)
        return std::nullopt;
    return QtServiceSystemdUnit::stateOf(activeState, statusText);
}

bool QtServicePlatformSystemd::isInstalled(const QString &serviceName)
{
    QtServiceSystemdBus bus;
    return !openInstalledUnit(bus, serviceName).isEmpty();
}

std::optional<QtServicePlatform::State> QtServicePlatformSystemd::state(const QString &serviceName)
{
    QtServiceSystemdBus bus;
    const QByteArray unit = openInstalledUnit(bus, serviceName);
    if (unit.isEmpty())
        return std::nullopt;
    return unitState(bus, unit);
}

std::optional<QtServicePlatform::Configuration>
QtServicePlatformSystemd::configuration(const QString &serviceName)
{
    QtServiceSystemdBus bus;
    const QByteArray unit = openInstalledUnit(bus, serviceName);
    Configuration result;
    QString enablement;
    if (unit.isEmpty() || bus.execStartPath(unit, &result.executablePath) < 0 ||
        bus.unitProperty(unit, "Description", &result.description) < 0 ||
        bus.unitProperty(unit, "UnitFileState", &enablement) < 0)
        return std::nullopt;
    result.automaticStart = enablement == "enabled"_L1 || enablement == "enabled-runtime"_L1;
    return result;
}

bool QtServicePlatformSystemd::install(const Registration &registration)
{
    const QString text = QtServiceSystemdUnit::fileText(registration);
    if (text.isEmpty()) {
        errno = EINVAL;
        return false;
    }
    uid_t uid = 0;
    gid_t gid = 0;
    if (!registration.account.isEmpty() &&
        !lookUpUser(QtServiceSystemdUnit::userName(registration.account), &uid, &gid))
        return false;

    QtServiceSystemdBus bus;
    if (bus.open() < 0)
        return false;
    const QString unitName = QtServiceSystemdUnit::unitName(registration.serviceName);
    const QString path = QtServiceSystemdUnit::unitFilePath(registration.serviceName);
    if (!writeFile(path, text.toUtf8(), 0644, 0, 0))
        return false;
    QByteArray unit;
    QString loadState;
    bool ok = bus.reload() >= 0 && bus.loadUnit(unitName, &unit) >= 0 &&
              bus.unitProperty(unit, "LoadState", &loadState) >= 0;
    if (ok && loadState != "loaded"_L1) {
        errno = EINVAL; // systemd did not accept the unit file
        ok = false;
    }
    if (ok && registration.automaticStart)
        ok = bus.enableUnitFile(unitName) >= 0 && bus.reload() >= 0;
    if (!ok) {
        // Leave nothing half-installed behind.
        const int saved = errno;
        QFile::remove(path);
        bus.reload();
        errno = saved;
    }
    return ok;
}

bool QtServicePlatformSystemd::uninstall(const QString &serviceName)
{
    QtServiceSystemdBus bus;
    const QByteArray unit = openInstalledUnit(bus, serviceName);
    if (unit.isEmpty())
        return false;
    const QString unitName = QtServiceSystemdUnit::unitName(serviceName);
    const QString path = QtServiceSystemdUnit::unitFilePath(serviceName);
    QString fragment;
    if (bus.unitProperty(unit, "FragmentPath", &fragment) < 0)
        return false;
    if (fragment != path) {
        errno = EPERM; // a unit of that name that this program did not install
        return false;
    }
    // A service removed while it runs would linger as a unit without a file; stop it first.
    const auto current = unitState(bus, unit);
    if (current && isActive(*current))
        waitForStop(bus, unitName, s_uninstall_stop_wait_ms);
    if (bus.disableUnitFile(unitName) < 0 || !QFile::remove(path) || bus.reload() < 0)
        return false;
    bus.resetFailed(unitName);
    QByteArray after;
    QString loadState;
    return bus.loadUnit(unitName, &after) >= 0 &&
           bus.unitProperty(after, "LoadState", &loadState) >= 0 && loadState == "not-found"_L1;
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
    uid_t uid = 0;
    gid_t gid = 0;
    if (bus.serviceProperty(unit, "User", &user) < 0 ||
        (!user.isEmpty() && !lookUpUser(user, &uid, &gid)))
        return false;
    const QString directory = QtServiceSystemdUnit::runtimeDirectory(serviceName);
    if (!QDir().mkpath(directory))
        return false;
    QByteArray data;
    for (const QString &argument : arguments)
        data += argument.toUtf8() + '\0';
    return writeFile(path, data, 0600, uid, gid);
}

bool QtServicePlatformSystemd::start(const QString &serviceName, const QStringList &arguments)
{
    QtServiceSystemdBus bus;
    const QByteArray unit = openInstalledUnit(bus, serviceName);
    if (unit.isEmpty())
        return false;
    const auto current = unitState(bus, unit);
    if (!current)
        return false;
    if (isActive(*current)) {
        errno = EALREADY;
        return false;
    }
    if (!writeStartArguments(bus, unit, serviceName, arguments))
        return false;
    QByteArray job;
    QByteArray result;
    const QString unitName = QtServiceSystemdUnit::unitName(serviceName);
    if (bus.subscribe() < 0 || bus.startUnit(unitName, &job) < 0 ||
        bus.waitForJob(job, QDeadlineTimer(s_start_wait_ms), &result) < 0) {
        QFile::remove(QtServiceSystemdUnit::startArgumentsPath(serviceName));
        return false;
    }
    // A null result: still starting after the wait; the request itself was accepted.
    if (result.isNull() || result == "done")
        return true;
    QFile::remove(QtServiceSystemdUnit::startArgumentsPath(serviceName));
    errno = ECANCELED;
    return false;
}

bool QtServicePlatformSystemd::waitForStop(QtServiceSystemdBus &bus, const QString &unitName,
                                           int timeoutMs)
{
    QByteArray job;
    QByteArray result;
    return bus.subscribe() >= 0 && bus.stopUnit(unitName, &job) >= 0 &&
           bus.waitForJob(job, QDeadlineTimer(timeoutMs), &result) >= 0 && result == "done";
}

QtServicePlatform::StopResult QtServicePlatformSystemd::stop(const QString &serviceName,
                                                             int timeoutMs)
{
    QtServiceSystemdBus bus;
    const QByteArray unit = openInstalledUnit(bus, serviceName);
    if (unit.isEmpty())
        return StopResult::Refused;
    const auto current = unitState(bus, unit);
    if (!current)
        return StopResult::Refused;
    if (!isActive(*current)) {
        errno = ESRCH; // nothing to stop
        return StopResult::Refused;
    }
    QByteArray job;
    QByteArray result;
    const QString unitName = QtServiceSystemdUnit::unitName(serviceName);
    if (bus.subscribe() < 0 || bus.stopUnit(unitName, &job) < 0)
        return StopResult::Refused;
    if (bus.waitForJob(job, QDeadlineTimer(timeoutMs), &result) < 0)
        return StopResult::StillStopping;
    const auto after = unitState(bus, unit);
    return after && !isActive(*after) ? StopResult::Stopped : StopResult::StillStopping;
}

std::optional<QtServicePlatform::Status>
QtServicePlatformSystemd::control(const QString &serviceName, int code)
{
    if (!isInstalled(serviceName))
        return std::nullopt;
    return QtServiceControlChannel::request(QtServiceSystemdUnit::controlSocketPath(serviceName),
                                            code, s_control_timeout_ms);
}

QtServicePlatform::DispatchResult QtServicePlatformSystemd::dispatch(const QString &serviceName,
                                                                     Dispatcher *dispatcher,
                                                                     QString *error)
{
    QtServiceSystemdDispatcher serviceSide(serviceName, dispatcher);
    {
        QMutexLocker locker(&m_mutex);
        m_dispatcher = &serviceSide;
    }
    const DispatchResult result = serviceSide.exec(error);
    QMutexLocker locker(&m_mutex);
    m_dispatcher = nullptr;
    return result;
}

quintptr QtServicePlatformSystemd::registerControlHandler(const QString &serviceName)
{
    Q_UNUSED(serviceName);
    QMutexLocker locker(&m_mutex);
    if (!m_dispatcher)
        return 0;
    m_dispatcher->enableControls();
    return reinterpret_cast<quintptr>(m_dispatcher);
}

void QtServicePlatformSystemd::reportStatus(quintptr handle, const Status &status)
{
    QMutexLocker locker(&m_mutex);
    if (handle != 0 && handle == reinterpret_cast<quintptr>(m_dispatcher))
        m_dispatcher->report(status);
}

void QtServicePlatformSystemd::reportEvent(const QString &serviceName, const QString &message,
                                           int type, int id, uint category, const QByteArray &data)
{
    const quint32 eventId = (quint32(id) & 0xFFFF) | severityBits(type);
    const QByteArray fields[] = {
        "MESSAGE=" + message.toUtf8(),
        "PRIORITY=" + QByteArray::number(journalPriority(type)),
        "SYSLOG_IDENTIFIER=" + serviceName.section(QChar(0), 0, 0).toUtf8(),
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

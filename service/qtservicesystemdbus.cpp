#include "service/qtservicesystemdbus.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr const char *s_destination = "org.freedesktop.systemd1";
constexpr const char *s_manager_path = "/org/freedesktop/systemd1";
constexpr const char *s_manager_interface = "org.freedesktop.systemd1.Manager";

// Owns an sd_bus_error for the length of one call.
struct BusError
{
    sd_bus_error error{};
    ~BusError() { sd_bus_error_free(&error); }
};

struct ReplyRef
{
    sd_bus_message *message = nullptr;
    ~ReplyRef() { sd_bus_message_unref(message); }
};

} // namespace

QtServiceSystemdBus::QtServiceSystemdBus() = default;

QtServiceSystemdBus::~QtServiceSystemdBus()
{
    if (m_bus)
        sd_bus_flush_close_unref(m_bus);
}

bool QtServiceSystemdBus::fail(int r)
{
    m_error = qt_error_string(-r);
    return false;
}

bool QtServiceSystemdBus::open()
{
    int r = 0;
    if (geteuid() == 0) {
        // The manager's own socket: no bus daemon needed, root only.
        r = sd_bus_new(&m_bus);
        if (r >= 0)
            r = sd_bus_set_address(m_bus, "unix:path=/run/systemd/private");
        if (r >= 0)
            r = sd_bus_start(m_bus);
    } else {
        r = sd_bus_open_system(&m_bus);
    }
    if (r < 0) {
        if (m_bus)
            m_bus = sd_bus_flush_close_unref(m_bus);
        return fail(r);
    }
    return true;
}

template<typename... Args>
bool QtServiceSystemdBus::callManager(const char *method, QByteArray *objectPath, const char *types,
                                      Args... args)
{
    BusError error;
    ReplyRef reply;
    int r = sd_bus_call_method(m_bus, s_destination, s_manager_path, s_manager_interface, method,
                               &error.error, &reply.message, types, args...);
    if (r < 0)
        return fail(r);
    if (objectPath) {
        const char *path = nullptr;
        r = sd_bus_message_read(reply.message, "o", &path);
        if (r < 0)
            return fail(r);
        *objectPath = QByteArray(path);
    }
    return true;
}

bool QtServiceSystemdBus::loadUnit(const QString &unit, QByteArray *path)
{
    return callManager("LoadUnit", path, "s", unit.toUtf8().constData());
}

bool QtServiceSystemdBus::getString(const QByteArray &path, const char *interface, const char *name,
                                    QString *value)
{
    BusError error;
    char *text = nullptr;
    const int r = sd_bus_get_property_string(m_bus, s_destination, path.constData(), interface,
                                             name, &error.error, &text);
    if (r < 0)
        return fail(r);
    *value = QString::fromUtf8(text);
    std::free(text);
    return true;
}

bool QtServiceSystemdBus::unitProperty(const QByteArray &path, const char *name, QString *value)
{
    return getString(path, "org.freedesktop.systemd1.Unit", name, value);
}

bool QtServiceSystemdBus::serviceProperty(const QByteArray &path, const char *name, QString *value)
{
    return getString(path, "org.freedesktop.systemd1.Service", name, value);
}

bool QtServiceSystemdBus::serviceFlag(const QByteArray &path, const char *name, bool *value)
{
    BusError error;
    int flag = 0;
    const int r = sd_bus_get_property_trivial(m_bus, s_destination, path.constData(),
                                              "org.freedesktop.systemd1.Service", name,
                                              &error.error, 'b', &flag);
    if (r < 0)
        return fail(r);
    *value = flag != 0;
    return true;
}

bool QtServiceSystemdBus::execStartPath(const QByteArray &path, QString *value)
{
    BusError error;
    ReplyRef reply;
    int r = sd_bus_get_property(m_bus, s_destination, path.constData(),
                                "org.freedesktop.systemd1.Service", "ExecStart", &error.error,
                                &reply.message, "a(sasbttttuii)");
    if (r >= 0)
        r = sd_bus_message_enter_container(reply.message, 'a', "(sasbttttuii)");
    if (r >= 0)
        r = sd_bus_message_enter_container(reply.message, 'r', "sasbttttuii");
    if (r == 0)
        r = -ENODATA; // no command at all
    const char *program = nullptr;
    if (r >= 0)
        r = sd_bus_message_read(reply.message, "s", &program);
    if (r < 0)
        return fail(r);
    *value = QString::fromUtf8(program);
    return true;
}

bool QtServiceSystemdBus::reload()
{
    return callManager("Reload", nullptr, nullptr);
}

bool QtServiceSystemdBus::enableUnitFile(const QString &unit)
{
    // One file, for the system rather than the runtime, replacing links that are in the way.
    return callManager("EnableUnitFiles", nullptr, "asbb", 1, unit.toUtf8().constData(), 0, 1);
}

bool QtServiceSystemdBus::disableUnitFile(const QString &unit)
{
    return callManager("DisableUnitFiles", nullptr, "asb", 1, unit.toUtf8().constData(), 0);
}

bool QtServiceSystemdBus::resetFailed(const QString &unit)
{
    return callManager("ResetFailedUnit", nullptr, "s", unit.toUtf8().constData());
}

bool QtServiceSystemdBus::subscribe()
{
    auto onJobRemoved = [](sd_bus_message *message, void *userData, sd_bus_error *) -> int {
        auto *self = static_cast<QtServiceSystemdBus *>(userData);
        quint32 id = 0;
        const char *job = nullptr;
        const char *unit = nullptr;
        const char *result = nullptr;
        if (sd_bus_message_read(message, "uoss", &id, &job, &unit, &result) < 0)
            return 0;
        if (self->m_pending_job == job) {
            self->m_job_result = QByteArray(result);
            self->m_job_done = true;
        }
        return 0;
    };
    // No sender filter: on the private socket the manager's messages carry none. The slot
    // lives as long as the connection (floating).
    const int r = sd_bus_match_signal(m_bus, nullptr, nullptr, s_manager_path, s_manager_interface,
                                      "JobRemoved", onJobRemoved, this);
    return r < 0 ? fail(r) : callManager("Subscribe", nullptr, nullptr);
}

bool QtServiceSystemdBus::startUnit(const QString &unit, QByteArray *job)
{
    // "fail": a start that conflicts with a queued job is refused rather than replacing it.
    return callManager("StartUnit", job, "ss", unit.toUtf8().constData(), "fail");
}

bool QtServiceSystemdBus::stopUnit(const QString &unit, QByteArray *job)
{
    return callManager("StopUnit", job, "ss", unit.toUtf8().constData(), "replace");
}

bool QtServiceSystemdBus::waitForJob(const QByteArray &job, QDeadlineTimer deadline,
                                     QByteArray *result)
{
    m_pending_job = job;
    m_job_done = false;
    m_job_result.clear();
    while (!m_job_done) {
        int r = sd_bus_process(m_bus, nullptr);
        if (r < 0)
            return fail(r);
        if (r > 0)
            continue;
        if (deadline.hasExpired()) {
            *result = QByteArray();
            return true;
        }
        const qint64 left = deadline.remainingTime();
        r = sd_bus_wait(m_bus, left < 0 ? UINT64_MAX : quint64(left) * 1000);
        if (r < 0)
            return fail(r);
    }
    *result = m_job_result;
    return true;
}

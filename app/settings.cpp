#include "app/settings.h"

#include "net/loggedtext.h"
#include "net/peeraddress.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
// The setting's text, or none when it is unset or blank.
std::optional<QByteArray> valueOf(const char *name)
{
    const QByteArray text = qgetenv(name).trimmed();
    if (text.isEmpty())
        return std::nullopt;
    return text;
}
} // namespace

Settings Settings::fromEnvironment()
{
    constexpr qint64 intMax = std::numeric_limits<int>::max();
    Settings settings;
    if (const auto port = settings.number("VX_CONTROL_PORT", 0, 65535, u"a port number"_s,
                                          u"; 0: any free port"_s))
        settings.controlPort = quint16(*port);
    if (const auto bytes =
            settings.number("VX_DEBUGLOG_MAX_BYTES", 0, std::numeric_limits<qint64>::max(),
                            u"a byte count"_s, u"; 0: no bound"_s))
        settings.debugLogMaxBytes = *bytes;
    settings.readDebugLogDirectory();
    if (const auto count = settings.number("VX_MAX_CONNECTIONS_PER_ADDRESS", 0, intMax,
                                           u"a number of connections"_s, u"; 0: no limit"_s))
        settings.limits.maxConnectionsPerAddress = int(*count);
    if (const auto ms = settings.number("VX_MAX_TEST_TIME_MS", 0, intMax,
                                        u"a number of milliseconds"_s, u"; 0: no limit"_s))
        settings.limits.maxTestTimeMs = *ms == 0 ? int(intMax) : int(*ms);
    if (const auto seconds = settings.number("VX_CONTROL_IDLE_TIMEOUT_S", 0, 86400,
                                             u"a number of seconds"_s, u"; 0: no limit"_s))
        settings.limits.controlIdleTimeoutS = int(*seconds);
    if (const auto rate = settings.number("VX_CONTROL_TESTS_PER_MINUTE", 0, 1000000,
                                          u"a number of tests"_s, u"; 0: no limit"_s))
        settings.limits.controlTestsPerMinute = int(*rate);
    settings.frontDoor.port = settings.port("VX_HTTP_PORT");
    if (const auto threads = settings.number("VX_HTTP_THREADS", 1, FrontDoorSettings::MaxThreads,
                                             u"a number of threads"_s))
        settings.frontDoor.threads = int(*threads);
    if (const auto rate = settings.number("VX_HTTP_CHECKS_PER_MINUTE", 0, 1000000,
                                          u"a number of checks"_s, u"; 0: no limit"_s))
        settings.frontDoor.checksPerMinute = int(*rate);
    settings.readTrustedProxies();
    settings.readMetricsListen();
    return settings;
}

std::optional<qint64> Settings::number(const char *name, qint64 min, qint64 max,
                                       const QString &what, const QString &note)
{
    const std::optional<QByteArray> text = valueOf(name);
    if (!text)
        return std::nullopt;
    bool ok = false;
    const qint64 value = text->toLongLong(&ok, 10);
    if (ok && value >= min && value <= max)
        return value;
    complain(
        name, *text,
        u"is not %1 (%2 to %3%4)"_s.arg(what, QString::number(min), QString::number(max), note));
    return std::nullopt;
}

std::optional<quint16> Settings::port(const char *name)
{
    const std::optional<qint64> value = number(name, 1, 65535, u"a port number"_s);
    return value ? std::optional<quint16>(quint16(*value)) : std::nullopt;
}

void Settings::readDebugLogDirectory()
{
    const char *name = "VX_DEBUGLOG_DIR";
    const std::optional<QByteArray> text = valueOf(name);
    if (!text)
        return;
    // A log that cannot be written would leave no trace of the run anywhere: refuse it now,
    // as the start would find it (read-only under the unit's sandbox, say).
    QString why;
    struct stat info;
    if (!text->startsWith('/'))
        why = u"not an absolute path"_s;
    else if (::stat(text->constData(), &info) != 0)
        why = qt_error_string(errno);
    else if (!S_ISDIR(info.st_mode))
        why = u"not a folder"_s;
    else if (::access(text->constData(), W_OK | X_OK) != 0)
        why = qt_error_string(errno);
    if (why.isEmpty()) {
        debugLogDirectory = QString::fromLocal8Bit(*text);
        return;
    }
    complain(name, *text, u"is not a folder the service can write to (%1)"_s.arg(why));
}

void Settings::readTrustedProxies()
{
    const char *name = "VX_TRUSTED_PROXIES";
    const std::optional<QByteArray> text = valueOf(name);
    if (!text)
        return;
    QList<QHostAddress> trusted;
    for (const QByteArray &entry : text->split(',')) {
        const QByteArray bare = entry.trimmed();
        if (bare.isEmpty())
            continue;
        const QHostAddress address = strictAddress(QString::fromLatin1(bare));
        if (address.isNull()) {
            complain(name, *text, u"is not a list of addresses (IPv4 or IPv6, comma-separated)"_s);
            return;
        }
        trusted.append(address);
    }
    frontDoor.trustedProxies = trusted;
}

void Settings::readMetricsListen()
{
    const char *name = "VX_METRICS_LISTEN";
    const std::optional<QByteArray> text = valueOf(name);
    if (!text)
        return;
    // IPv4 text before the last colon, or IPv6 text in brackets (its own colons would make the
    // port ambiguous); a literal address only, so nothing is looked up at start.
    const qsizetype colon = text->lastIndexOf(':');
    const QByteArray host = colon < 0 ? QByteArray() : text->left(colon);
    const QByteArray portText = colon < 0 ? QByteArray() : text->mid(colon + 1);
    const bool bracketed = host.startsWith('[') && host.endsWith(']');
    const QHostAddress address =
        strictAddress(QString::fromLatin1(bracketed ? host.sliced(1, host.size() - 2) : host));
    const bool addressOk =
        !address.isNull() && (address.protocol() == QAbstractSocket::IPv6Protocol) == bracketed;
    bool portOk =
        !portText.isEmpty() && portText.size() <= 5 &&
        std::all_of(portText.begin(), portText.end(), [](char c) { return c >= '0' && c <= '9'; });
    const uint port = portText.toUInt();
    portOk = portOk && port <= 65535 && (portText.size() == 1 || portText.front() != '0');
    if (!addressOk || !portOk) {
        complain(name, *text,
                 u"is not an address and port (such as 127.0.0.1:9464 or [::1]:9464; port 0: "
                 "any free port)"_s);
        return;
    }
    metricsListen = Listen{address, quint16(port)};
}

void Settings::complain(const char *name, const QByteArray &value, const QString &what)
{
    m_problems.append(
        u"%1: \"%2\" %3"_s.arg(QLatin1StringView(name),
                               QString::fromUtf8(loggedText(QString::fromLocal8Bit(value))), what));
}

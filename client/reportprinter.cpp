#include "client/reportprinter.h"

#include "client/terminaltext.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

using namespace Qt::StringLiterals;

namespace {
constexpr std::array outcomes{CheckResult::Reachable,
                              CheckResult::Blocked,
                              CheckResult::TimedOut,
                              CheckResult::Unavailable,
                              CheckResult::UnavailableAtServer,
                              CheckResult::RateLimited,
                              CheckResult::Error};

qsizetype count(const QList<CheckResult> &results, CheckResult::Outcome outcome)
{
    return std::count_if(results.begin(), results.end(),
                         [outcome](const CheckResult &r) { return r.outcome == outcome; });
}

CheckResult named(CheckResult::Outcome outcome)
{
    CheckResult result;
    result.outcome = outcome;
    return result;
}

QJsonObject toJson(const CheckResult &result)
{
    return {{u"protocol"_s, result.check.protocolName()},
            {u"port"_s, int(result.check.port)},
            {u"direction"_s, result.check.directionName()},
            {u"result"_s, result.outcomeName()},
            {u"detail"_s, TerminalText::escaped(result.detail)},
            {u"hint"_s, result.hint},
            {u"evidence"_s, result.evidence == CheckResult::Evidence::None
                                ? QJsonValue(QJsonValue::Null)
                                : QJsonValue(result.evidenceName())},
            {u"elapsedMs"_s, result.elapsed_ms}};
}
} // namespace

ReportPrinter::ReportPrinter(const QString &server, bool json, bool progress)
    : m_server(TerminalText::escaped(server)), m_json(json), m_progress(progress && !json)
{
}

void ReportPrinter::printAddress(const QString &address)
{
    const QString shown = TerminalText::escaped(address);
    if (m_json)
        printJson({{u"server"_s, m_server}, {u"publicIp"_s, shown}});
    else
        write(stdout, shown + u'\n');
}

void ReportPrinter::showProgress(int index, int total, const PortCheck &check)
{
    if (!m_progress)
        return;
    clearProgress();
    write(stdout, u"[%1/%2] checking %3 %4 %5 ..."_s.arg(index + 1)
                      .arg(total)
                      .arg(check.protocolName())
                      .arg(check.port)
                      .arg(check.directionName()));
    m_progress_shown = true;
}

void ReportPrinter::printResult(const CheckResult &result)
{
    if (m_json)
        return;
    clearProgress();
    QString line = u"%1 %2 %3 %4 %5 ms"_s.arg(result.check.protocolName())
                       .arg(result.check.port, 5)
                       .arg(result.check.directionName(), -3)
                       .arg(result.outcomeName(), -11)
                       .arg(result.elapsed_ms, 6);
    if (!result.detail.isEmpty())
        line += u"  "_s + result.detail;
    if (!result.hint.isEmpty())
        line += u"; check: "_s + result.hint;
    write(stdout, TerminalText::escaped(line) + u'\n');
}

void ReportPrinter::printWireLine(QChar mark, const QString &line)
{
    write(stderr, mark + u' ' + TerminalText::escaped(line) + u'\n');
}

void ReportPrinter::printSummary(const QString &protocols, int timeout,
                                 const QList<CheckResult> &results, const QString &error)
{
    clearProgress();
    const QString lost =
        u"lost the connection to %1: %2"_s.arg(m_server, TerminalText::escaped(error));
    if (!m_json) {
        write(stdout, summaryText(results) + u'\n');
        if (!error.isEmpty())
            write(stderr, u"vx-connectivity-check: "_s + lost + u'\n');
        return;
    }
    QJsonArray checks;
    for (const CheckResult &result : results)
        checks.append(toJson(result));
    QJsonObject summary{{u"total"_s, results.size()}};
    for (CheckResult::Outcome outcome : outcomes)
        summary.insert(named(outcome).outcomeName(), count(results, outcome));
    QJsonObject document{{u"server"_s, m_server},
                         {u"protocol"_s, protocols},
                         {u"timeout"_s, timeout},
                         {u"checks"_s, checks},
                         {u"summary"_s, summary},
                         {u"success"_s, count(results, CheckResult::Reachable) == results.size()}};
    if (!error.isEmpty()) {
        document.insert(u"error"_s, lost);
        write(stderr, u"vx-connectivity-check: "_s + lost + u'\n');
    }
    printJson(document);
}

void ReportPrinter::printFailure(const QString &message)
{
    clearProgress();
    const QString shown = TerminalText::escaped(message);
    write(stderr, u"vx-connectivity-check: "_s + shown + u'\n');
    if (m_json)
        printJson({{u"server"_s, m_server}, {u"error"_s, shown}});
}

QString ReportPrinter::summaryText(const QList<CheckResult> &results)
{
    QStringList parts;
    for (CheckResult::Outcome outcome : outcomes) {
        const qsizetype n = count(results, outcome);
        if (n > 0 || outcome == CheckResult::Reachable)
            parts.append(u"%1 %2"_s.arg(n).arg(named(outcome).outcomeName()));
    }
    return u"%1 %2: %3"_s.arg(results.size())
        .arg(results.size() == 1 ? u"check"_s : u"checks"_s, parts.join(u", "_s));
}

void ReportPrinter::clearProgress()
{
    if (!m_progress_shown)
        return;
    // Back to the start of the line and erase it.
    write(stdout, u"\r\x1b[K"_s);
    m_progress_shown = false;
}

void ReportPrinter::printJson(const QJsonObject &document)
{
    write(stdout, QString::fromUtf8(QJsonDocument(document).toJson(QJsonDocument::Indented)));
}

void ReportPrinter::write(std::FILE *stream, const QString &text)
{
    if (stream == stdout && !m_output_error.isEmpty())
        return;
    const QByteArray bytes = text.toLocal8Bit();
    errno = 0;
    const bool written =
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) == size_t(bytes.size()) &&
        std::fflush(stream) == 0;
    // Nothing is left to say a failed standard error on.
    if (!written && stream == stdout)
        m_output_error = QString::fromLocal8Bit(std::strerror(errno != 0 ? errno : EIO));
}

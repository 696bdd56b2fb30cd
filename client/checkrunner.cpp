#include "client/checkrunner.h"

#include "client/checkhint.h"
#include "client/checklog.h"
#include "client/controlconnection.h"
#include "porttest/porttest.h"
#include "protocol/compiledpattern.h"
#include "protocol/porttestingline.h"

#include <QHostAddress>

#include <algorithm>
#include <utility>

using namespace Qt::StringLiterals;
using ControlProtocol::Result;

namespace {

// The requesting side has no time limit of its own: a check may take the server's limit plus
// this much for the lines to travel and the server to schedule the test.
constexpr int answerMargin = 2000;
// How much of the reason a server gives for a failure is shown.
constexpr qsizetype maxReasonLength = 200;

// What a server may write after "failure": why it could not listen or bind. The line is read
// as the port test reads it, so that the reason is what follows the very result word.
QString reasonAfterFailure(const QString &line)
{
    static const QRegularExpression pattern = compiledPattern(
        u"porttesting\\s+(?:in|out)\\s+(?:udp|tcp)\\s+\\d+\\s?failure[\\s:]*(.*)$"_s,
        QRegularExpression::CaseInsensitiveOption);
    return pattern.match(line).captured(1).trimmed().left(maxReasonLength);
}

} // namespace

CheckRunner::CheckRunner(ControlConnection &connection, const QList<PortCheck> &checks,
                         int timeoutMs, QObject *parent)
    : QObject(parent), m_connection(connection), m_checks(checks), m_timeout(timeoutMs)
{
    m_check_limit.setSingleShot(true);
    m_settle_limit.setSingleShot(true);
    connect(&m_check_limit, &QTimer::timeout, this, &CheckRunner::onCheckLimitReached);
    connect(&m_settle_limit, &QTimer::timeout, this, &CheckRunner::onSettleLimitReached);
}

CheckRunner::~CheckRunner() = default;

void CheckRunner::start()
{
    connect(&m_connection, &ControlConnection::lineReceived, this, &CheckRunner::onServerLine);
    connect(&m_connection, &ControlConnection::lost, this, &CheckRunner::onConnectionLost);
    next();
}

void CheckRunner::next()
{
    m_phase = Phase::Idle;
    // Queued: the previous test may still be inside the slot that ended it.
    QMetaObject::invokeMethod(this, &CheckRunner::startNextCheck, Qt::QueuedConnection);
}

void CheckRunner::startNextCheck()
{
    if (m_phase != Phase::Idle)
        return;
    if (m_index + 1 >= m_checks.size()) {
        m_phase = Phase::Done;
        Q_EMIT finished();
        return;
    }
    ++m_index;
    Q_EMIT checkStarted(int(m_index), int(m_checks.size()), current());
    startCheck(current());
}

void CheckRunner::startCheck(const PortCheck &check)
{
    m_server_started = m_server_ended = m_server_succeeded = m_reported = false;
    m_held_lines.clear();
    m_server_reason.clear();
    m_test.reset(new PortTest(check.port, check.protocol, check.direction, m_timeout, QString()));
    m_test->setPeerAddress(m_connection.peerAddress());
    connect(m_test.get(), &PortTest::sendToPeer, this, &CheckRunner::onSendToPeer);
    connect(m_test.get(), &PortTest::testDone, this, &CheckRunner::onTestDone);

    m_phase = Phase::Running;
    m_clock.start();
    m_check_limit.start(checkLimit());
    m_starting = true;
    const bool started = m_test->handleTest(false);
    m_starting = false;
    const QStringList lines = std::exchange(m_held_lines, {});
    if (!started) {
        // The request never goes out: a line about a port this side could not take means
        // nothing to the server.
        conclude(CheckResult::Unavailable, unavailableDetail());
        return;
    }
    for (const QString &line : lines)
        sendTestLine(line);
}

void CheckRunner::onSendToPeer(QString mes)
{
    if (sender() != m_test.get())
        return;
    if (m_starting)
        m_held_lines.append(mes);
    else
        sendTestLine(mes);
}

void CheckRunner::sendTestLine(const QString &line)
{
    if (line.startsWith(ControlProtocol::PortTestingWord))
        m_reported = true;
    m_connection.sendLine(line);
}

void CheckRunner::onTestDone(bool success)
{
    if (sender() != m_test.get() || m_phase != Phase::Running)
        return;
    // The server's time limit passed with both halves of the test in place: something between
    // the two ends stopped it. A failure is the server's report that its half could not start.
    if (success)
        conclude(CheckResult::Reachable, QString());
    else if (m_test->isTimedOut())
        conclude(CheckResult::Blocked, serverTimeoutDetail());
    else
        conclude(CheckResult::UnavailableAtServer, unavailableAtServerDetail());
}

void CheckRunner::onServerLine(const QString &line)
{
    if (m_phase != Phase::Running && m_phase != Phase::Settling)
        return;
    if (!line.startsWith(ControlProtocol::PortTestingWord, Qt::CaseInsensitive))
        return;
    const std::optional<PortTestingLine> parsed = PortTestingLine::parse(line);
    if (!parsed || !current().isServerLine(*parsed)) {
        qCDebug(lcCheck, "not a line of the current check: %s", qPrintable(line));
        return;
    }
    m_server_started = true;
    if (parsed->result == Result::Failure)
        m_server_reason = reasonAfterFailure(line);
    const bool success = parsed->result == Result::Success;
    if (success || parsed->result == Result::Timeout) {
        m_server_ended = true;
        m_server_succeeded = success;
    }
    if (m_phase == Phase::Settling) {
        handleSettlingLine();
    } else if (success && current().direction == ControlProtocol::In) {
        // This machine receives: only a connection or ping that arrives here counts. The
        // server's word for it is no arrival, yet the port test would take it for one.
        qCDebug(lcCheck, "waiting for the arrival the server reports");
    } else {
        // Rebuilt from what was read, so that the port test cannot read the server's text
        // differently from this runner.
        m_test->onControlMessage(parsed->text());
    }
}

void CheckRunner::onCheckLimitReached()
{
    if (m_phase != Phase::Running)
        return;
    // The server's connection or pings went somewhere, but not here: a NAT or firewall in
    // between plausibly took them.
    conclude(m_server_succeeded ? CheckResult::Blocked : CheckResult::TimedOut, noAnswerDetail());
}

void CheckRunner::conclude(CheckResult::Outcome outcome, const QString &detail)
{
    m_check_limit.stop();
    if (!m_test->isFinished())
        m_test->onAbortTest(); // releases its sockets and timers
    record(outcome, detail, current(), m_clock.elapsed());
    settle(outcome);
}

void CheckRunner::record(CheckResult::Outcome outcome, const QString &detail,
                         const PortCheck &check, qint64 elapsedMs)
{
    CheckResult result;
    result.check = check;
    result.outcome = outcome;
    result.detail = detail;
    result.elapsed_ms = elapsedMs;
    result.hint = CheckHint::forResult(result, localAddress());
    m_results.append(result);
    Q_EMIT checkFinished(result);
}

// Whether the server's test of this check is over decides when the next check may start.
void CheckRunner::settle(CheckResult::Outcome outcome)
{
    if (outcome == CheckResult::Unavailable || m_server_ended || m_reported) {
        // No request went out, the server said it ended, or this side's result line (sent
        // before any later request) ends it.
        next();
    } else if (m_server_started) {
        endServerTest();
        next();
    } else {
        // Not a word from the server: its test may still be queued there (behind another
        // client's test of the same port). Give it a moment to show, so it can be ended.
        m_phase = Phase::Settling;
        m_settle_limit.start(answerMargin);
    }
}

// The server's test of the check showed up late: over already, or ended now.
void CheckRunner::handleSettlingLine()
{
    m_settle_limit.stop();
    if (!m_server_ended)
        endServerTest();
    next();
}

// A failure report ends a running server test at once; it would otherwise hold the connection's
// schedule until its own time limit.
void CheckRunner::endServerTest()
{
    const PortCheck &check = current();
    m_connection.sendLine(ControlProtocol::resultLine(check.serverDirection(), check.protocol,
                                                      check.port, Result::Failure));
}

void CheckRunner::onSettleLimitReached()
{
    if (m_phase != Phase::Settling)
        return;
    qCDebug(lcCheck, "the server never ran the test on port %d; going on", current().port);
    next();
}

void CheckRunner::onConnectionLost(const QString &reason)
{
    if (m_phase == Phase::Done)
        return;
    m_lost_reason = reason;
    m_check_limit.stop();
    m_settle_limit.stop();
    if (m_phase == Phase::Running) {
        if (!m_test->isFinished())
            m_test->onAbortTest();
        record(CheckResult::Error, u"lost the connection to the server"_s, current(),
               m_clock.elapsed());
    }
    m_phase = Phase::Done;
    while (m_index + 1 < m_checks.size()) {
        ++m_index;
        record(CheckResult::Error, u"not run: no connection to the server"_s, current(), 0);
    }
    Q_EMIT finished();
}

// Where the port test listens and binds: the control connection's family, both families for
// IPv6 (a dual-stack socket), as the port test itself chooses from the peer's address.
QHostAddress CheckRunner::localAddress() const
{
    const QHostAddress peer(m_connection.peerAddress());
    return QHostAddress(peer.protocol() == QAbstractSocket::IPv6Protocol ? QHostAddress::Any
                                                                         : QHostAddress::AnyIPv4);
}

int CheckRunner::checkLimit() const
{
    return std::max(m_timeout, ControlProtocol::MinimumTimeLimitMs) + answerMargin;
}

QString CheckRunner::serverTimeoutDetail() const
{
    const PortCheck &check = current();
    const int limit = m_test->timeout();
    if (check.protocol == ControlProtocol::Tcp)
        return check.direction == ControlProtocol::In
                   ? u"the server's connection did not arrive within %1 ms"_s.arg(limit)
                   : u"no connection reached the server within %1 ms"_s.arg(limit);
    return check.direction == ControlProtocol::In
               ? u"the server's pings did not arrive within %1 ms"_s.arg(limit)
               : u"no ping reached the server within %1 ms"_s.arg(limit);
}

QString CheckRunner::unavailableAtServerDetail() const
{
    const PortCheck &check = current();
    QString detail;
    if (check.protocol == ControlProtocol::Tcp)
        detail = u"the server could not listen on port %1"_s.arg(check.port);
    else if (check.direction == ControlProtocol::Out)
        detail = u"the server could not bind port %1"_s.arg(check.port);
    else
        detail = u"the server could not bind a port to send from"_s;
    return m_server_reason.isEmpty() ? detail : detail + u": "_s + m_server_reason;
}

QString CheckRunner::unavailableDetail() const
{
    const PortCheck &check = current();
    if (check.protocol == ControlProtocol::Tcp)
        return u"cannot listen on port %1 here: %2"_s.arg(check.port).arg(m_test->errorString());
    return check.direction == ControlProtocol::In
               ? u"cannot bind port %1 here: it is in use or not allowed"_s.arg(check.port)
               : u"cannot bind a local port to send from"_s;
}

QString CheckRunner::noAnswerDetail() const
{
    const int limit = checkLimit();
    if (!m_server_started)
        return u"no answer from the server within %1 ms"_s.arg(limit);
    if (m_server_succeeded && current().protocol == ControlProtocol::Udp)
        return u"the server reported its pings sent, but none arrived here within %1 ms"_s.arg(
            limit);
    if (m_server_succeeded)
        return u"the server connected, but nothing arrived here within %1 ms"_s.arg(limit);
    return u"the server did not finish the test within %1 ms"_s.arg(limit);
}

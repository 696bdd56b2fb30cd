#include "client/checkrunner.h"

#include "client/checkhint.h"
#include "client/checklog.h"
#include "client/controlconnection.h"
#include "client/localsockets.h"
#include "porttest/porttest.h"
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
// A pinger, at either end, sends its first ping one interval after the go line: time the ping
// spent waiting, not travelling.
constexpr qint64 firstPingWaitMs = 50;

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
    m_served_here = false;
    m_held_lines.clear();
    m_server_reason.clear();
    m_listeners.clear();
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
        // A line about a port this side could not take means nothing to the server.
        m_listeners = LocalSockets::addressesOn(check.protocol, check.port);
        if (m_listeners.isEmpty() || check.direction == ControlProtocol::Out)
            conclude(CheckOutcome::NotTestableHere, unavailableDetail());
        else if (check.protocol == ControlProtocol::Udp)
            conclude(CheckOutcome::NotTestableHere, udpInUseDetail());
        else
            startServedHere();
        return;
    }
    for (const QString &line : lines)
        sendTestLine(line);
}

// A program here listens on the port: the server's connection goes to it, unseen by this side,
// and only the server can tell whether it got through.
void CheckRunner::startServedHere()
{
    m_served_here = true;
    m_test->onAbortTest();
    sendTestLine(ControlProtocol::testPortLine(current().serverDirection(), current().protocol,
                                               current().port, m_test->timeout()));
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
    // Only a UDP "out" check's success is the server's word: its pings arrived there. The
    // server's time limit passed with both halves of the test in place: something between the
    // two ends stopped it. A failure is the server's report that its half could not start.
    const bool serverSaw =
        current().protocol == ControlProtocol::Udp && current().direction == ControlProtocol::Out;
    if (success)
        conclude(CheckOutcome::Reachable, QString(),
                 serverSaw ? CheckResult::Evidence::Server : CheckResult::Evidence::Here);
    else if (m_test->isTimedOut())
        conclude(CheckOutcome::Timeout, serverTimeoutDetail());
    else
        conclude(CheckOutcome::NotTestableAtTester, unavailableAtServerDetail());
}

void CheckRunner::onServerLine(const QString &line)
{
    if (m_phase != Phase::Running && m_phase != Phase::Settling)
        return;
    if (const std::optional<int> wait = ControlProtocol::rateLimitedSeconds(line)) {
        // The request was turned away before any test started at either end.
        if (m_phase == Phase::Running)
            conclude(CheckOutcome::RateLimited,
                     u"the tester takes no more tests from this address for now; try again in "
                     "%1 s"_s.arg(*wait));
        return;
    }
    if (!line.startsWith(ControlProtocol::PortTestingWord, Qt::CaseInsensitive))
        return;
    const std::optional<PortTestingLine> parsed = PortTestingLine::parse(line);
    if (!parsed || !current().isServerLine(*parsed)) {
        qCDebug(lcCheck, "not a line of the current check: %s", qPrintable(line));
        return;
    }
    if (!m_server_started && m_phase == Phase::Running)
        m_clock.start(); // the server's go: from here on the time is the network's
    m_server_started = true;
    if (parsed->result == Result::Failure)
        m_server_reason = parsed->reason.left(maxReasonLength);
    const bool success = parsed->result == Result::Success;
    if (success || parsed->result == Result::Timeout) {
        m_server_ended = true;
        m_server_succeeded = success;
    }
    if (m_phase == Phase::Settling) {
        handleSettlingLine();
    } else if (m_served_here) {
        applyServedHereReport(*parsed);
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

void CheckRunner::applyServedHereReport(const PortTestingLine &line)
{
    if (line.result == Result::Success)
        conclude(CheckOutcome::Reachable,
                 u"the server connected; the port is served here by another program"_s,
                 CheckResult::Evidence::Server);
    else if (line.result == Result::Timeout)
        conclude(CheckOutcome::Timeout,
                 u"the server could not connect within %1 ms"_s.arg(m_test->timeout()));
    else if (line.result == Result::Failure)
        conclude(CheckOutcome::NotTestableAtTester, unavailableAtServerDetail());
}

void CheckRunner::onCheckLimitReached()
{
    if (m_phase != Phase::Running)
        return;
    if (!m_connection.hasAnswered()) {
        // Not a word to the first request: every further check would wait as long for nothing.
        m_connection.abandon(
            u"the tester did not answer within %1 ms (busy, or not a tester)"_s.arg(checkLimit()));
        return;
    }
    // The server's connection or pings went somewhere, but not here: a NAT or firewall in
    // between plausibly took them.
    conclude(m_server_succeeded ? CheckOutcome::Timeout : CheckOutcome::TesterSilent,
             noAnswerDetail());
}

void CheckRunner::conclude(CheckOutcome::Kind outcome, const QString &detail,
                           CheckResult::Evidence evidence)
{
    m_check_limit.stop();
    if (!m_test->isFinished())
        m_test->onAbortTest(); // releases its sockets and timers
    record(outcome, detail, current(), elapsedMs(evidence), evidence);
    settle(outcome);
}

// From the server's go (or the request, when none came) to the evidence. A connection that
// arrived before the go line was read came with it.
qint64 CheckRunner::elapsedMs(CheckResult::Evidence evidence) const
{
    if (evidence == CheckResult::Evidence::None)
        return m_clock.elapsed();
    if (!m_server_started)
        return 0;
    const qint64 waited = current().protocol == ControlProtocol::Udp ? firstPingWaitMs : 0;
    return std::max<qint64>(m_clock.elapsed() - waited, 0);
}

void CheckRunner::record(CheckOutcome::Kind outcome, const QString &detail, const PortCheck &check,
                         qint64 elapsedMs, CheckResult::Evidence evidence)
{
    CheckResult result;
    result.check = check;
    result.outcome = outcome;
    result.evidence = evidence;
    result.detail = detail;
    result.elapsed_ms = elapsedMs;
    result.hint = m_served_here
                      ? servedHereHint(result)
                      : CheckHint::forResult(result, localAddress(), m_seen.kind, m_seen.nat);
    m_results.append(result);
    Q_EMIT checkFinished(result);
}

// A program that listens on other addresses only never gets the server's connection, however
// open the way is.
QString CheckRunner::servedHereHint(const CheckResult &result) const
{
    const QHostAddress arrival = m_connection.localAddress();
    const bool receives =
        std::any_of(m_listeners.begin(), m_listeners.end(), [&](const QHostAddress &bound) {
            return LocalSockets::receives(bound, arrival);
        });
    if (result.outcome != CheckOutcome::Timeout || receives)
        return CheckHint::forResult(result, localAddress(), m_seen.kind, m_seen.nat);
    QStringList bound;
    for (const QHostAddress &address : m_listeners)
        bound.append(address.toString());
    return u"Does the program on TCP port %1 listen on all addresses (0.0.0.0 or ::)? Here it "
           "listens on %2 only, not on %3 where the tester's connection arrives."_s
               .arg(current().port)
               .arg(bound.join(u", "_s), arrival.toString());
}

// Whether the server's test of this check is over decides when the next check may start.
void CheckRunner::settle(CheckOutcome::Kind outcome)
{
    if (outcome == CheckOutcome::NotTestableHere || outcome == CheckOutcome::RateLimited ||
        m_server_ended || m_reported) {
        // No request went out or the server turned it away, the server said it ended, or this
        // side's result line (sent before any later request) ends it.
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
        record(CheckOutcome::TesterLost, u"lost the connection to the server"_s, current(),
               m_clock.elapsed(), CheckResult::Evidence::None);
    }
    m_phase = Phase::Done;
    while (m_index + 1 < m_checks.size()) {
        ++m_index;
        record(CheckOutcome::TesterLost, u"not run: no connection to the server"_s, current(), 0,
               CheckResult::Evidence::None);
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
    return checkLimit(m_timeout);
}

int CheckRunner::checkLimit(int timeoutMs)
{
    return std::max(timeoutMs, ControlProtocol::MinimumTimeLimitMs) + answerMargin;
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

QString CheckRunner::udpInUseDetail() const
{
    return u"udp port %1 is in use here by another program: the server's pings would go to it, "
           "so whether they arrive cannot be observed"_s.arg(current().port);
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

#include "client/checksession.h"

#include "client/checkrunner.h"
#include "client/publicipquery.h"

#include <algorithm>

using namespace Qt::StringLiterals;

CheckSession::CheckSession(const CheckCommandLine &options, bool interactive, QObject *parent)
    : QObject(parent), m_options(options),
      m_printer(ControlConnection::targetText(options.server(), options.port()), options.json(),
                interactive && !options.verbose())
{
    connect(&m_connection, &ControlConnection::opened, this, &CheckSession::onOpened);
    connect(&m_connection, &ControlConnection::openFailed, this, &CheckSession::onOpenFailed);
    // Before the query or runner: a server that said nothing at all is reported here alone.
    connect(&m_connection, &ControlConnection::lost, this, &CheckSession::onConnectionLost);
    connect(&m_connection, &ControlConnection::foreign, this, &CheckSession::onForeign);
    if (options.verbose()) {
        connect(&m_connection, &ControlConnection::lineSent, this, &CheckSession::onLineSent);
        connect(&m_connection, &ControlConnection::lineReceived, this,
                &CheckSession::onLineReceived);
    }
}

CheckSession::~CheckSession() = default;

void CheckSession::start()
{
    m_connection.open(m_options.server(), m_options.port(), m_options.timeout(),
                      m_options.family());
}

// Checks, too, begin with the address the tester sees: its kind says what the results can
// prove, and whether it is this machine's own says whether NAT is in the way.
void CheckSession::onOpened()
{
    const bool ip = m_options.command() == CheckCommandLine::Command::Ip;
    m_query = std::make_unique<PublicIpQuery>(
        m_connection, ip ? m_options.timeout() : CheckRunner::checkLimit(m_options.timeout()));
    connect(m_query.get(), &PublicIpQuery::answered, this, &CheckSession::onAddressAnswered);
    connect(m_query.get(), &PublicIpQuery::rejected, this, &CheckSession::onAddressRejected);
    connect(m_query.get(), &PublicIpQuery::failed, this, &CheckSession::onAddressFailed);
    m_query->start();
}

void CheckSession::startChecks(const SeenAddress &seen)
{
    m_runner = std::make_unique<CheckRunner>(m_connection, m_options.checks(), m_options.timeout());
    m_runner->setSeenAddress(seen);
    connect(m_runner.get(), &CheckRunner::checkStarted, this, &CheckSession::onCheckStarted);
    connect(m_runner.get(), &CheckRunner::checkFinished, this, &CheckSession::onCheckFinished);
    connect(m_runner.get(), &CheckRunner::finished, this, &CheckSession::onChecksFinished);
    m_runner->start();
}

void CheckSession::onOpenFailed(const QString &reason)
{
    m_printer.printFailure(u"cannot connect to %1: %2"_s.arg(m_connection.target(), reason));
    Q_EMIT finished(UsageOrServerError);
}

// Closed before a word: no check ran at the server, so there are no results to show either.
void CheckSession::onConnectionLost(const QString &reason)
{
    if (!m_connection.hasAnswered())
        endWithoutResults(u"%1: %2"_s.arg(m_connection.target(), reason));
}

void CheckSession::onForeign(const QString &sent)
{
    // Enough to recognise the service by; printed escaped.
    constexpr qsizetype shown = 80;
    const QString sample = sent.size() > shown ? sent.first(shown) + u"..."_s : sent;
    endWithoutResults(u"the server at %1 is not a connectivity tester (it sent: %2)"_s.arg(
        m_connection.target(), sample));
}

void CheckSession::endWithoutResults(const QString &message)
{
    if (m_query)
        m_query->disconnect(this);
    if (m_runner)
        m_runner->disconnect(this);
    m_printer.printFailure(message);
    Q_EMIT finished(UsageOrServerError);
}

// A full disk or a reader that has gone: nobody learns the results, so running on is no use.
bool CheckSession::endIfOutputFailed()
{
    if (m_printer.outputError().isEmpty())
        return false;
    m_connection.close();
    endWithoutResults(u"cannot write the output: "_s + m_printer.outputError());
    return true;
}

void CheckSession::onLineSent(const QString &line)
{
    m_printer.printWireLine(u'>', line);
}

void CheckSession::onLineReceived(const QString &line)
{
    m_printer.printWireLine(u'<', line);
}

void CheckSession::onAddressAnswered(const QString &address)
{
    m_seen = SeenAddress::ofHere(address);
    if (m_options.command() != CheckCommandLine::Command::Ip) {
        startChecks(m_seen);
        return;
    }
    m_connection.close();
    m_printer.printAddress(m_seen);
    if (!endIfOutputFailed())
        Q_EMIT finished(AllSucceeded);
}

void CheckSession::onAddressRejected(const QString &answer)
{
    m_connection.close();
    m_printer.printFailure(u"the server's answer is not an IP address: "_s + answer);
    Q_EMIT finished(UsageOrServerError);
}

void CheckSession::onAddressFailed(const QString &reason, bool silent)
{
    // Not a word to the first request: every check would wait as long for nothing.
    if (silent && m_options.command() != CheckCommandLine::Command::Ip) {
        m_connection.close();
        m_printer.printFailure(
            u"%1: the tester did not answer within %2 ms (busy, or not a tester)"_s
                .arg(m_connection.target())
                .arg(CheckRunner::checkLimit(m_options.timeout())));
        Q_EMIT finished(UsageOrServerError);
        return;
    }
    m_printer.printFailure(u"no address from %1: %2"_s.arg(m_connection.target(), reason));
    Q_EMIT finished(UsageOrServerError);
}

void CheckSession::onCheckStarted(int index, int total, const PortCheck &check)
{
    m_printer.showProgress(index, total, check);
    endIfOutputFailed();
}

void CheckSession::onCheckFinished(const CheckResult &result)
{
    m_printer.printResult(result);
    endIfOutputFailed();
}

void CheckSession::onChecksFinished()
{
    m_connection.close();
    const QList<CheckResult> &results = m_runner->results();
    m_printer.printSummary(m_options.protocolNames(), m_options.timeout(), m_seen, results,
                           m_runner->lostReason());
    if (endIfOutputFailed())
        return;
    if (!m_runner->lostReason().isEmpty()) {
        Q_EMIT finished(UsageOrServerError);
        return;
    }
    const bool allReachable = std::all_of(results.begin(), results.end(), [](const auto &r) {
        return r.outcome == CheckOutcome::Reachable;
    });
    Q_EMIT finished(allReachable ? AllSucceeded : SomeFailed);
}

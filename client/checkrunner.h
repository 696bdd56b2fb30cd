#pragma once

#include "client/checkresult.h"
#include "client/portcheck.h"
#include "client/seenaddress.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <memory>

class ControlConnection;
class PortTest;
class PortTestingLine;

// Runs the checks one after another over one control connection, each as a requesting-side
// PortTest. The server runs a connection's tests one at a time and its lines carry no test id,
// so a check starts only once the previous one has ended here and its test at the server is
// known to be over (or cannot be waited for any longer).
class CheckRunner : public QObject
{
    Q_OBJECT

public:
    CheckRunner(ControlConnection &connection, const QList<PortCheck> &checks, int timeoutMs,
                QObject *parent = nullptr);
    ~CheckRunner() override;

    // How the tester sees this machine, for the hints; before start().
    void setSeenAddress(const SeenAddress &seen) { m_seen = seen; }
    void start();
    const QList<CheckResult> &results() const { return m_results; }
    // How long a check with this time limit may take at most, answers included.
    static int checkLimit(int timeoutMs);
    // Why the run ended early; empty when every check ran.
    QString lostReason() const { return m_lost_reason; }

Q_SIGNALS:
    void checkStarted(int index, int total, const PortCheck &check);
    void checkFinished(const CheckResult &result);
    void finished();

private Q_SLOTS:
    void onServerLine(const QString &line);
    void onSendToPeer(QString mes);
    void onTestDone(bool success);
    void onCheckLimitReached();
    void onSettleLimitReached();
    void onConnectionLost(const QString &reason);

private:
    enum class Phase { Idle, Running, Settling, Done };
    // A test may still be inside one of its own slots when it is dropped.
    struct DeleteLater
    {
        void operator()(QObject *object) const { object->deleteLater(); }
    };

    void startNextCheck();
    void startCheck(const PortCheck &check);
    void startServedHere();
    void applyServedHereReport(const PortTestingLine &line);
    void sendTestLine(const QString &line);
    void conclude(CheckOutcome::Kind outcome, const QString &detail,
                  CheckResult::Evidence evidence = CheckResult::Evidence::None);
    qint64 elapsedMs(CheckResult::Evidence evidence) const;
    void settle(CheckOutcome::Kind outcome);
    void handleSettlingLine();
    void endServerTest();
    void next();
    void record(CheckOutcome::Kind outcome, const QString &detail, const PortCheck &check,
                qint64 elapsedMs, CheckResult::Evidence evidence);
    QString servedHereHint(const CheckResult &result) const;
    const PortCheck &current() const { return m_checks.at(m_index); }
    int checkLimit() const;
    QString serverTimeoutDetail() const;
    QString unavailableAtServerDetail() const;
    QHostAddress localAddress() const;
    QString unavailableDetail() const;
    QString udpInUseDetail() const;
    QString noAnswerDetail() const;

    ControlConnection &m_connection;
    SeenAddress m_seen;
    QList<PortCheck> m_checks;
    QList<CheckResult> m_results;
    QString m_lost_reason;
    int m_timeout = 0;
    qsizetype m_index = -1;
    Phase m_phase = Phase::Idle;
    std::unique_ptr<PortTest, DeleteLater> m_test;
    QTimer m_check_limit;
    QTimer m_settle_limit;
    // From the request, and from the server's go once it arrives.
    QElapsedTimer m_clock;
    // Inside handleTest: its lines wait until it is known whether the request goes out at all.
    bool m_starting = false;
    QStringList m_held_lines;
    // What is known of the server's side of the current check.
    bool m_server_started = false; // a line of its test arrived
    bool m_server_ended = false;   // its own success or timeout line arrived
    bool m_server_succeeded = false;
    QString m_server_reason; // what the server wrote after its failure, if anything
    bool m_reported = false; // this side sent its own result line, which ends the server's test
    // The port is taken here by another program that listens on these addresses: for TCP the
    // check runs anyway on the server's word (m_served_here).
    QList<QHostAddress> m_listeners;
    bool m_served_here = false;
};

#pragma once

#include "client/checkcommandline.h"
#include "client/controlconnection.h"
#include "client/reportprinter.h"
#include "client/seenaddress.h"

#include <QObject>

#include <memory>

class CheckRunner;
class PublicIpQuery;

// One run of the tool: connects, asks the server what the command line wants, prints it, and
// says with which exit code the tool ends.
class CheckSession : public QObject
{
    Q_OBJECT

public:
    enum ExitCode { AllSucceeded = 0, SomeFailed = 1, UsageOrServerError = 2 };

    CheckSession(const CheckCommandLine &options, bool interactive, QObject *parent = nullptr);
    ~CheckSession() override;

    void start();

Q_SIGNALS:
    void finished(int exitCode);

private Q_SLOTS:
    void onOpened();
    void onOpenFailed(const QString &reason);
    void onConnectionLost(const QString &reason);
    void onForeign(const QString &sent);
    void onLineSent(const QString &line);
    void onLineReceived(const QString &line);
    void onAddressAnswered(const QString &address);
    void onAddressRejected(const QString &answer);
    void onAddressFailed(const QString &reason, bool silent);
    void onCheckStarted(int index, int total, const PortCheck &check);
    void onCheckFinished(const CheckResult &result);
    void onChecksFinished();

private:
    void startChecks(const SeenAddress &seen);
    // No results follow: the run ends with this message alone.
    void endWithoutResults(const QString &message);
    // Whether the output could not be written, which ends the run.
    bool endIfOutputFailed();

    const CheckCommandLine &m_options;
    ReportPrinter m_printer;
    ControlConnection m_connection;
    std::unique_ptr<PublicIpQuery> m_query;
    std::unique_ptr<CheckRunner> m_runner;
    SeenAddress m_seen;
};

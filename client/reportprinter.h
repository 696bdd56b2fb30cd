#pragma once

#include "client/checkresult.h"
#include "client/seenaddress.h"

#include <QJsonArray>
#include <QList>
#include <QString>

#include <cstdio>

// Prints what the tool found: text lines as checks finish, or one JSON document at the end.
class ReportPrinter
{
public:
    // progress: show which check runs (only sensible on a terminal, never with json).
    ReportPrinter(const QString &server, bool json, bool progress);

    // The address alone on stdout (scripts take it from there); what it means on stderr.
    void printAddress(const SeenAddress &seen);
    void showProgress(int index, int total, const PortCheck &check);
    void printResult(const CheckResult &result);
    // A line on the control connection, for --verbose: mark '>' sent, '<' received.
    void printWireLine(QChar mark, const QString &line);
    // The summary, or the whole document with json; error: why the run ended early.
    void printSummary(const QString &protocols, int timeout, const SeenAddress &seen,
                      const QList<CheckResult> &results, const QString &error);
    // A run that could not even start: the message on stderr (and a document with json).
    void printFailure(const QString &message);
    // Why standard output could not be written, once it could not; nothing goes there after.
    QString outputError() const { return m_output_error; }

private:
    static QString summaryText(const QList<CheckResult> &results);
    // What every document carries about how the tester sees this machine.
    static void addSeen(QJsonObject &document, const SeenAddress &seen);
    void clearProgress();
    void printJson(const QJsonObject &document);
    void write(std::FILE *stream, const QString &text);

    QString m_server;
    bool m_json = false;
    bool m_progress = false;
    bool m_progress_shown = false;
    QString m_output_error;
};

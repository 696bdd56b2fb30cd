#include "client/checkcommandline.h"
#include "client/checksession.h"
#include "client/terminaltext.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <cstdio>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Log messages quote the server's lines as they came; they reach the terminal escaped.
void verboseMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    std::fprintf(stderr, "%s\n",
                 qPrintable(TerminalText::escaped(qFormatLogMessage(type, context, text))));
}

// The port test narrates every step with qDebug; without --verbose only warnings and worse
// reach the terminal.
void quietMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        verboseMessageHandler(type, context, text);
}

int usageError(const QString &message)
{
    std::fprintf(stderr, "vx-connectivity-check: %s\nTry 'vx-connectivity-check --help'.\n",
                 qPrintable(TerminalText::escaped(message)));
    return CheckSession::UsageOrServerError;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    CheckCommandLine options;
    if (!options.parse(QCoreApplication::arguments()))
        return usageError(options.errorText());
    if (options.helpRequested()) {
        std::fputs(qPrintable(CheckCommandLine::helpText()), stdout);
        return CheckSession::AllSucceeded;
    }
    qInstallMessageHandler(options.verbose() ? verboseMessageHandler : quietMessageHandler);

    CheckSession session(options, isatty(STDOUT_FILENO) == 1);
    QObject::connect(&session, &CheckSession::finished, &app, &QCoreApplication::exit,
                     Qt::QueuedConnection);
    // Started from the running loop, so that an answer that comes at once still ends it.
    QMetaObject::invokeMethod(&session, &CheckSession::start, Qt::QueuedConnection);
    return QCoreApplication::exec();
}

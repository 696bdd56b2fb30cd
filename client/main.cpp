#include "client/checkcommandline.h"
#include "client/checksession.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <cstdio>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// The port test narrates every step with qDebug; without --verbose only warnings and worse
// reach the terminal.
void quietMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
}

int usageError(const QString &message)
{
    std::fprintf(stderr, "vx-connectivity-check: %s\nTry 'vx-connectivity-check --help'.\n",
                 qPrintable(message));
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
    if (!options.verbose())
        qInstallMessageHandler(quietMessageHandler);

    CheckSession session(options, isatty(STDOUT_FILENO) == 1);
    QObject::connect(&session, &CheckSession::finished, &app, &QCoreApplication::exit,
                     Qt::QueuedConnection);
    // Started from the running loop, so that an answer that comes at once still ends it.
    QMetaObject::invokeMethod(&session, &CheckSession::start, Qt::QueuedConnection);
    return QCoreApplication::exec();
}

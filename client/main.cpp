#include "client/checkcommandline.h"
#include "client/checklog.h"
#include "client/checksession.h"
#include "client/terminaltext.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

bool isDiagnostic(QtMsgType type)
{
    return type == QtDebugMsg || type == QtInfoMsg;
}

// Warnings and worse always reach the terminal; log messages may quote the server's lines as
// they came, so they reach it escaped.
void quietMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (!isDiagnostic(type))
        std::fprintf(stderr, "%s\n",
                     qPrintable(TerminalText::escaped(qFormatLogMessage(type, context, text))));
}

// The port test narrates every step without a category: --verbose shows the tool's own
// diagnostics beside the lines on the wire, not that trace.
void verboseMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (!isDiagnostic(type))
        quietMessageHandler(type, context, text);
    else if (context.category && qstrcmp(context.category, lcCheck().categoryName()) == 0)
        std::fprintf(stderr, "# %s\n", qPrintable(TerminalText::escaped(text)));
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
    // A reader that has gone is a write error like any other, reported and ending the run.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    CheckCommandLine options;
    if (!options.parse(QCoreApplication::arguments()))
        return usageError(options.errorText());
    if (options.helpRequested() || options.versionRequested()) {
        const QByteArray text = (options.helpRequested() ? CheckCommandLine::helpText()
                                                         : CheckCommandLine::versionText())
                                    .toLocal8Bit();
        errno = 0;
        if (std::fputs(text.constData(), stdout) >= 0 && std::fflush(stdout) == 0)
            return CheckSession::AllSucceeded;
        std::fprintf(stderr, "vx-connectivity-check: cannot write the output: %s\n",
                     std::strerror(errno != 0 ? errno : EIO));
        return CheckSession::UsageOrServerError;
    }
    qInstallMessageHandler(options.verbose() ? verboseMessageHandler : quietMessageHandler);

    CheckSession session(options, isatty(STDOUT_FILENO) == 1);
    QObject::connect(&session, &CheckSession::finished, &app, &QCoreApplication::exit,
                     Qt::QueuedConnection);
    // Started from the running loop, so that an answer that comes at once still ends it.
    QMetaObject::invokeMethod(&session, &CheckSession::start, Qt::QueuedConnection);
    return QCoreApplication::exec();
}

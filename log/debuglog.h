#pragma once

#include <QString>
#include <QtGlobal>

// The process's debug log: every Qt diagnostic of every thread, appended to
// "service-debuglog.txt" in the temporary directory (or the configured one) and flushed per
// message.
//
// Size: the configured bound (0 means none) caps the file. A message that would take it past
// the bound first moves it to "service-debuglog.txt.1", replacing an older one, and starts a
// fresh file.
//
// Threading: any thread may log. Each message is one write(2) to a file opened for appending, so
// lines never interleave; close(), the opening of the file and its rotation exclude every message.
class DebugLog
{
public:
    static constexpr qint64 DefaultMaxBytes = 64 * 1024 * 1024;

    // Where the log goes (empty: the temporary directory) and its bound; called before the log
    // is installed, from the settings.
    static void configure(const QString &directory, qint64 maxBytes);

    // Installs the message handler (replacing, not chaining, any earlier one) and registers
    // close() as a post routine, so the closing banner is written when the application object
    // goes away.
    static void install();

    // Formats and writes one message. Types 0 to 3 are QtMsgType values and get their level
    // prefix; any other value (the service's event reports pass -1) gets none. A fatal message
    // closes the log and ends the process with exit code 1.
    static void write(int type, const QString &text);

    // Writes the closing banner and closes the file; the next message opens it again.
    static void close();

    static QString filePath();

    // Called once when the log cannot be opened or written, with the reason, on the thread that
    // logged; again only after the file has been opened afresh. Its own diagnostics are dropped
    // (the log is what fails); set before the log is installed.
    using FailureHandler = void (*)(const QString &reason);
    static void setFailureHandler(FailureHandler handler);

private:
    static void messageHandler(QtMsgType type, const QMessageLogContext &context,
                               const QString &text);
};

#pragma once

#include <QString>

// Text from elsewhere (the server above all) made safe to print: a terminal must never receive
// its control characters, which could set the window title, clear the screen or fake output.
class TerminalText
{
public:
    // C0 controls, DEL and C1 controls as \xNN (so an escape sequence loses its ESC), and a
    // backslash doubled so that the result reads back unambiguously.
    static QString escaped(const QString &text);

private:
    static bool needsEscape(QChar c);
};

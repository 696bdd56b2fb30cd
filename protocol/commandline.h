#pragma once

#include <QString>

// One command line of the control connection, split into its command word (the leading run of
// word characters, lower-cased; empty when the line starts with anything else) and its
// arguments (the rest, trimmed).
class CommandLine
{
public:
    static CommandLine parse(const QString &line);

    QString command;
    QString arguments;
};

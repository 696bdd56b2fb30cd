#pragma once

#include <QRegularExpression>
#include <QString>

// A protocol pattern, compiled at once. With Unicode properties, \w, \s and \d take what they
// mean in Latin-1 input beyond ASCII. Kept in a function-local static, one compiled pattern
// serves every thread: matching it is read-only.
QRegularExpression compiledPattern(const QString &pattern,
                                   QRegularExpression::PatternOptions options);

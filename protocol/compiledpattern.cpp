#include "protocol/compiledpattern.h"

QRegularExpression compiledPattern(const QString &pattern,
                                   QRegularExpression::PatternOptions options)
{
    QRegularExpression expression(pattern,
                                  options | QRegularExpression::UseUnicodePropertiesOption);
    expression.optimize();
    return expression;
}

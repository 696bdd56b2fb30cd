#include "fuzz/handlerlines.h"

#include <QByteArray>

using namespace Qt::StringLiterals;

QStringList HandlerLines::parts(QByteArrayView bytes)
{
    QStringList parts;
    qsizetype start = 0;
    while (start < bytes.size()) {
        qsizetype end = start;
        while (end < bytes.size() && bytes[end] != '\n')
            ++end;
        QByteArray line = bytes.sliced(start, end - start).toByteArray();
        line.append('\n');
        start = end + 1;
        // The same conversion and split as the handler's read slot.
        parts += QString::fromLatin1(line).split(u"\r\n"_s, Qt::SkipEmptyParts, Qt::CaseSensitive);
    }
    return parts;
}

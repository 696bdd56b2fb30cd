#include "protocol/lineframer.h"

#include <QIODevice>

#include <utility>

using namespace Qt::StringLiterals;

LineFramer::LineFramer(qsizetype maxLineLength) : m_max_line_length(maxLineLength) {}

bool LineFramer::hasLine(QIODevice &device)
{
    qsizetype lf = m_buffer.indexOf('\n', m_taken);
    if (lf < 0 && m_buffer.size() - m_taken < m_max_line_length && device.bytesAvailable() > 0) {
        dropTaken();
        const qsizetype searched = m_buffer.size();
        m_buffer += device.readAll();
        lf = m_buffer.indexOf('\n', searched);
    }
    m_line_end = lf < 0 ? -1 : lf + 1;
    return m_line_end >= 0;
}

QStringList LineFramer::takeLine()
{
    Q_ASSERT(m_line_end > m_taken);
    const QString line =
        QString::fromLatin1(QByteArrayView(m_buffer).sliced(m_taken, m_line_end - m_taken));
    m_taken = std::exchange(m_line_end, -1);
    return line.split(u"\r\n"_s, Qt::SkipEmptyParts, Qt::CaseSensitive);
}

void LineFramer::dropTaken()
{
    m_buffer.remove(0, std::exchange(m_taken, 0));
}

bool LineFramer::isOverlong() const
{
    return m_buffer.size() - m_taken >= m_max_line_length;
}

#include "linereader.h"

bool LineReader::next(std::string &line)
{
    const size_t lf = m_buffer.find('\n', m_pos);
    if (lf == std::string::npos) {
        m_buffer.erase(0, m_pos);
        m_pos = 0;
        return false;
    }
    size_t end = lf;
    if (end > m_pos && m_buffer[end - 1] == '\r')
        --end;
    line.assign(m_buffer, m_pos, end - m_pos);
    m_pos = lf + 1;
    return true;
}

void LineReader::clear()
{
    m_buffer.clear();
    m_pos = 0;
}

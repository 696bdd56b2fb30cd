#pragma once

#include <cstddef>
#include <string>

// Collects bytes from a socket and hands out complete lines without their CR LF.
class LineReader
{
public:
    void append(const char *data, size_t size) { m_buffer.append(data, size); }
    // Takes the next complete line into line; false when none is complete yet.
    bool next(std::string &line);
    void clear();

private:
    std::string m_buffer;
    size_t m_pos = 0;
};

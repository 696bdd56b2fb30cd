#pragma once

#include "protocol/controlprotocol.h"

#include <QByteArray>
#include <QStringList>

class QIODevice;

// Cuts the bytes a control connection receives into command lines. Bytes are taken from the
// device only once no complete line is buffered, and then all it holds: a socket with a capped
// read buffer can then read on, and stops reading from the network while that buffer is full.
class LineFramer
{
public:
    explicit LineFramer(qsizetype maxLineLength = ControlProtocol::MaxLineLength);

    // Whether a complete line is buffered, taking what the device holds when none is yet (and
    // the unfinished line has not reached the cap).
    bool hasLine(QIODevice &device);
    // The line hasLine() found, read as Latin-1 and split at CR LF with empty parts dropped.
    QStringList takeLine();
    // Frees the lines taken: done once after a run of lines rather than after each.
    void dropTaken();
    // Whether the unfinished line has reached the cap: the peer sends more than a line may hold.
    bool isOverlong() const;

private:
    // Complete lines up to the next read, and the start of a line whose line feed has not
    // arrived.
    QByteArray m_buffer;
    // Where the lines not yet taken start, and the end (past its line feed) of the one found.
    qsizetype m_taken = 0;
    qsizetype m_line_end = -1;
    qsizetype m_max_line_length = 0;
};

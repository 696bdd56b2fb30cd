#pragma once

#include <QByteArray>

#include <deque>

class HttpResponse;

// A connection's answers on their way out, in order: a queue of chunks of at most ChunkBytes
// (an answer larger than that is a chunk of its own), each dropped as soon as it has gone out.
// So what has been sent is never kept, whatever pace the client reads at, and queueing an
// answer copies at most one chunk.
//
// Held at most (footprint()): the bytes not yet sent, plus the part of the first chunk already
// sent and the room left in the last (under ChunkBytes each), plus one spare of SpareBytes.
//
// Threading: used by one thread.
class HttpOutput
{
public:
    static constexpr qsizetype ChunkBytes = 4096;
    // An emptied chunk up to this size is kept for the next answer: no allocation per answer.
    static constexpr qsizetype SpareBytes = 4096;

    enum class Sent { All, Blocked, Failed };

    bool isEmpty() const { return m_chunks.empty(); }
    qsizetype unsent() const { return m_unsent; }
    // Heap bytes held (the capacity of every chunk and the spare).
    qsizetype footprint() const;

    void append(const HttpResponse &response, bool keepAlive, bool withBody);
    // Sends what the socket takes now (several chunks in one call); Failed when it is broken.
    Sent sendTo(int descriptor);
    void clear();

private:
    void drop(qsizetype bytes);

    std::deque<QByteArray> m_chunks;
    // Sent bytes at the front of the first chunk.
    qsizetype m_offset = 0;
    qsizetype m_unsent = 0;
    QByteArray m_spare;
};

#include "http/httpoutput.h"

#include "http/httpresponse.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>

namespace {
// Chunks handed to one sendmsg().
constexpr int kChunksPerSend = 16;
} // namespace

qsizetype HttpOutput::footprint() const
{
    qsizetype bytes = m_spare.capacity();
    for (const QByteArray &chunk : m_chunks)
        bytes += chunk.capacity();
    return bytes;
}

void HttpOutput::append(const HttpResponse &response, bool keepAlive, bool withBody)
{
    const qsizetype size = response.wireSize(keepAlive, withBody);
    if (m_chunks.empty() || m_chunks.back().size() + size > ChunkBytes) {
        // A new chunk: the spare when it is free, sized for this answer (a lone answer, as most
        // are, takes no more room than it needs).
        m_chunks.push_back(std::exchange(m_spare, QByteArray()));
        m_chunks.back().reserve(size);
    } else if (m_chunks.back().capacity() < m_chunks.back().size() + size) {
        // Answers pipelined behind it: room for a full chunk at once, not one answer at a time.
        m_chunks.back().reserve(ChunkBytes);
    }
    const qsizetype before = m_chunks.back().size();
    response.appendTo(m_chunks.back(), keepAlive, withBody);
    m_unsent += m_chunks.back().size() - before;
}

HttpOutput::Sent HttpOutput::sendTo(int descriptor)
{
    while (!m_chunks.empty()) {
        iovec parts[kChunksPerSend];
        int count = 0;
        for (auto it = m_chunks.begin(); it != m_chunks.end() && count < kChunksPerSend; ++it) {
            const qsizetype skip = count == 0 ? m_offset : 0;
            parts[count++] = {const_cast<char *>(it->constData()) + skip,
                              size_t(it->size() - skip)};
        }
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = size_t(count);
        // A lone answer, the usual case, by the plainer call.
        const ssize_t sent =
            count == 1 ? ::send(descriptor, parts[0].iov_base, parts[0].iov_len, MSG_NOSIGNAL)
                       : ::sendmsg(descriptor, &message, MSG_NOSIGNAL);
        if (sent > 0) {
            drop(sent);
        } else if (errno != EINTR) {
            return errno == EAGAIN || errno == EWOULDBLOCK ? Sent::Blocked : Sent::Failed;
        }
    }
    return Sent::All;
}

void HttpOutput::drop(qsizetype bytes)
{
    m_unsent -= bytes;
    while (bytes > 0) {
        QByteArray &front = m_chunks.front();
        const qsizetype left = front.size() - m_offset;
        if (bytes < left) {
            m_offset += bytes;
            return;
        }
        bytes -= left;
        m_offset = 0;
        if (m_spare.isNull() && front.capacity() <= SpareBytes) {
            m_spare = std::move(front);
            m_spare.resize(0);
        }
        m_chunks.pop_front();
    }
}

void HttpOutput::clear()
{
    m_chunks.clear();
    m_offset = 0;
    m_unsent = 0;
}

#include "net/logthrottle.h"

namespace {
// Keys kept before expired ones are dropped: many clients refused once each must not grow the
// table without bound.
constexpr qsizetype kMaxKeys = 1024;
} // namespace

QByteArray LogThrottle::unloggedNote(qint64 unlogged, QByteArrayView what)
{
    if (unlogged <= 0)
        return QByteArray();
    QByteArray note = " (" + QByteArray::number(unlogged) + " more";
    if (!what.isEmpty())
        note.append(' ').append(what);
    return note.append(" since the last such line)");
}

std::optional<qint64> LogThrottle::admit(const QString &key)
{
    const auto it = m_keys.find(key);
    if (it != m_keys.end() && !it->quietUntil.hasExpired()) {
        ++it->unlogged;
        return std::nullopt;
    }
    const qint64 unlogged = it != m_keys.end() ? it->unlogged : 0;
    if (it == m_keys.end() && m_keys.size() >= kMaxKeys)
        m_keys.removeIf([](auto entry) { return entry.value().quietUntil.hasExpired(); });
    m_keys.insert(key, Entry{QDeadlineTimer(QuietMs), 0});
    return unlogged;
}

#pragma once

#include <QDeadlineTimer>
#include <QHash>
#include <QString>

#include <optional>

// The one policy for log lines a client can provoke at will (refused connections, requests):
// at most one line per key every 10 s, and that line tells how many went unlogged before it.
// A client that reconnects or asks in a loop cannot push the log's history out.
//
// Threading: not shared; each owner uses its own from its own thread.
class LogThrottle
{
public:
    static constexpr int QuietMs = 10000;

    // Whether to log for `key` now: then the number of events for it left unlogged since its
    // last line (0 for none), and the key goes quiet for QuietMs; otherwise none, and the
    // event is counted.
    std::optional<qint64> admit(const QString &key);

    // What the admitted line adds about the events left out: nothing for none, else
    // " (12 more refused since the last such line)" (`what` may be empty).
    static QByteArray unloggedNote(qint64 unlogged, QByteArrayView what);

private:
    struct Entry
    {
        QDeadlineTimer quietUntil;
        qint64 unlogged = 0;
    };
    QHash<QString, Entry> m_keys;
};

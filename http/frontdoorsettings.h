#pragma once

#include <QHostAddress>
#include <QList>

#include <optional>

// What the web front door is told at start (read from VX_HTTP_PORT, VX_HTTP_THREADS,
// VX_HTTP_CHECKS_PER_MINUTE and VX_TRUSTED_PROXIES).
struct FrontDoorSettings
{
    static constexpr int DefaultThreads = 1;
    static constexpr int MaxThreads = 64;
    // A person tries a handful of ports and a script a list of them: 30 at once leaves both
    // room, while one address cannot keep the tester connecting to it more than every 2 s.
    static constexpr int DefaultChecksPerMinute = 30;

    // None: no front door.
    std::optional<quint16> port;
    // Event-loop threads serving its connections.
    int threads = DefaultThreads;
    // Port checks one caller (an IPv6 /64) may ask for per minute, as many at once; 0: no limit.
    int checksPerMinute = DefaultChecksPerMinute;
    // Peers whose X-Forwarded-For is believed.
    QList<QHostAddress> trustedProxies;
};

#pragma once

#include <QHostAddress>
#include <QList>

#include <optional>

// What the web front door is told at start (read from VX_HTTP_PORT, VX_HTTP_THREADS and
// VX_TRUSTED_PROXIES).
struct FrontDoorSettings
{
    static constexpr int DefaultThreads = 1;
    static constexpr int MaxThreads = 64;

    // None: no front door.
    std::optional<quint16> port;
    // Event-loop threads serving its connections.
    int threads = DefaultThreads;
    // Peers whose X-Forwarded-For is believed.
    QList<QHostAddress> trustedProxies;
};

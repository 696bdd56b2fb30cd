#pragma once

#include <QHostAddress>
#include <QList>

#include <optional>

// What the web front door is told at start (read from VX_HTTP_PORT and VX_TRUSTED_PROXIES).
struct FrontDoorSettings
{
    // None: no front door.
    std::optional<quint16> port;
    // Peers whose X-Forwarded-For is believed.
    QList<QHostAddress> trustedProxies;
};

#pragma once

#include <QHostAddress>
#include <QString>

class QAbstractSocket;

// The connection's peer as the service names it everywhere: a dual-stack listener sees an IPv4
// client as an IPv4-mapped IPv6 address ("::ffff:192.0.2.7"), which is the plain IPv4 address
// here, so IPv4 clients read, and are logged, exactly as on an IPv4 listener.
QHostAddress plainPeerAddress(const QAbstractSocket &socket);

// What the per-address connection limit counts by: an IPv4 client's address; an IPv6 client's
// /64 prefix ("2001:db8::/64"), the usual allocation of one subscriber, who could otherwise take
// a new address for every connection.
QString connectionLimitKey(const QHostAddress &address);

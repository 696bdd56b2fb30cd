#pragma once

#include <QHostAddress>
#include <QString>

class QAbstractSocket;

// A dual-stack socket sees an IPv4 peer as an IPv4-mapped IPv6 address ("::ffff:192.0.2.7");
// the service names it as the plain IPv4 address everywhere, exactly as an IPv4 socket would.
QHostAddress plainAddress(const QHostAddress &address);
QHostAddress plainPeerAddress(const QAbstractSocket &socket);

// An address in one of its standard text forms only: four dotted decimal numbers without
// leading zeros, or IPv6 text without a scope or blanks. Null for anything else, such as the
// shorthands "127.1", "2130706433" or "0x7f000001" that the system's parser also takes.
QHostAddress strictAddress(QStringView text);

// What per-address connection limits count by: an IPv4 client's address; an IPv6 client's /64
// prefix ("2001:db8::/64"), the usual allocation of one subscriber, who could otherwise take a
// new address for every connection.
QString connectionLimitKey(const QHostAddress &address);

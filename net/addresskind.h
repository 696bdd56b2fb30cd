#pragma once

#include <QHostAddress>
#include <QString>

// What kind of address the tester sees a caller under, and what that means for the results:
// only from a public address do they say anything about the internet. The ranges are those of
// the IPv4 and IPv6 special-purpose address registries; an IPv4-mapped IPv6 address counts as
// the IPv4 address it carries.
class AddressKind
{
public:
    enum Kind {
        Public,
        Loopback,  // 127.0.0.0/8, ::1: the tester runs on the caller's machine
        Private,   // RFC 1918, IPv6 unique local fc00::/7: the tester is inside the network
        Shared,    // 100.64.0.0/10: the provider's carrier-grade NAT
        LinkLocal, // 169.254.0.0/16, fe80::/10: the tester is on the same link
        Special,   // every other special-purpose range (documentation, multicast, reserved ...)
    };

    static Kind of(const QHostAddress &address);
    // "public", "loopback", "private", "shared", "link-local", "special": the words of the
    // text and JSON answers alike.
    static QString word(Kind kind);
    // What a result seen from such an address does not prove; empty for a public one.
    static QString warning(Kind kind);

private:
    static Kind ofIpv4(quint32 address);
    static Kind ofIpv6(const Q_IPV6ADDR &address);
};

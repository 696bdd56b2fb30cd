#include "net/addresskind.h"

#include <array>

using namespace Qt::StringLiterals;

namespace {
struct Range4
{
    quint32 base;
    int bits;
    AddressKind::Kind kind;
};

constexpr quint32 v4(quint32 a, quint32 b, quint32 c, quint32 d)
{
    return a << 24 | b << 16 | c << 8 | d;
}

// The special-purpose registry for IPv4, narrowest first where ranges nest. Blocks the registry
// marks globally reachable (192.0.0.9/32, 192.0.0.10/32, AS112 and AMT) count as public.
constexpr std::array ranges4{
    Range4{v4(192, 0, 0, 9), 32, AddressKind::Public},
    Range4{v4(192, 0, 0, 10), 32, AddressKind::Public},
    Range4{v4(0, 0, 0, 0), 8, AddressKind::Special},    // "this network"
    Range4{v4(10, 0, 0, 0), 8, AddressKind::Private},   // RFC 1918
    Range4{v4(100, 64, 0, 0), 10, AddressKind::Shared}, // carrier-grade NAT
    Range4{v4(127, 0, 0, 0), 8, AddressKind::Loopback}, //
    Range4{v4(169, 254, 0, 0), 16, AddressKind::LinkLocal},
    Range4{v4(172, 16, 0, 0), 12, AddressKind::Private},   // RFC 1918
    Range4{v4(192, 0, 0, 0), 24, AddressKind::Special},    // protocol assignments
    Range4{v4(192, 0, 2, 0), 24, AddressKind::Special},    // documentation
    Range4{v4(192, 88, 99, 0), 24, AddressKind::Special},  // former 6to4 relays
    Range4{v4(192, 168, 0, 0), 16, AddressKind::Private},  // RFC 1918
    Range4{v4(198, 18, 0, 0), 15, AddressKind::Special},   // benchmarking
    Range4{v4(198, 51, 100, 0), 24, AddressKind::Special}, // documentation
    Range4{v4(203, 0, 113, 0), 24, AddressKind::Special},  // documentation
    Range4{v4(224, 0, 0, 0), 4, AddressKind::Special},     // multicast
    Range4{v4(240, 0, 0, 0), 4, AddressKind::Special},     // reserved, and broadcast
};

struct Range6
{
    std::array<quint8, 6> prefix; // the first bytes that matter
    int bits;
    AddressKind::Kind kind;
};

// The special-purpose registry for IPv6 (mapped and loopback aside, which are handled first).
// Outside 2000::/3 nothing is handed out as a global unicast address.
constexpr std::array ranges6{
    Range6{{0x00, 0x64, 0xff, 0x9b, 0x00, 0x01}, 48, AddressKind::Special}, // local-use NAT64
    Range6{{0x00, 0x64, 0xff, 0x9b, 0x00, 0x00}, 32, AddressKind::Public},  // well-known NAT64
    Range6{{0x20, 0x01, 0x0d, 0xb8}, 32, AddressKind::Special},             // documentation
    Range6{{0x20, 0x01, 0x00, 0x00}, 23, AddressKind::Special}, // protocol assignments, Teredo
    Range6{{0x20, 0x02}, 16, AddressKind::Special},             // 6to4
    Range6{{0x3f, 0xff, 0x00}, 20, AddressKind::Special},       // documentation
    Range6{{0x5f, 0x00}, 16, AddressKind::Special},             // segment routing
    Range6{{0xfc}, 7, AddressKind::Private},                    // unique local
    Range6{{0xfe, 0x80}, 10, AddressKind::LinkLocal},
    Range6{{0x20}, 3, AddressKind::Public}, // global unicast
};

bool startsWith(const Q_IPV6ADDR &address, const Range6 &range)
{
    for (int bit = 0; bit < range.bits; ++bit) {
        const int byte = bit / 8;
        const int mask = 0x80 >> (bit % 8);
        if ((address[byte] & mask) != (range.prefix[size_t(byte)] & mask))
            return false;
    }
    return true;
}
} // namespace

AddressKind::Kind AddressKind::of(const QHostAddress &address)
{
    bool mapped = false;
    const quint32 ipv4 = address.toIPv4Address(&mapped);
    if (mapped)
        return ofIpv4(ipv4);
    if (address.protocol() == QAbstractSocket::IPv6Protocol)
        return ofIpv6(address.toIPv6Address());
    return Special; // no address at all
}

AddressKind::Kind AddressKind::ofIpv4(quint32 address)
{
    for (const Range4 &range : ranges4) {
        const quint32 mask = range.bits == 0 ? 0 : ~quint32(0) << (32 - range.bits);
        if ((address & mask) == range.base)
            return range.kind;
    }
    return Public;
}

AddressKind::Kind AddressKind::ofIpv6(const Q_IPV6ADDR &address)
{
    bool zeroUntilLast = true;
    for (int i = 0; i < 15; ++i)
        zeroUntilLast = zeroUntilLast && address[i] == 0;
    if (zeroUntilLast)
        return address[15] == 1 ? Loopback : Special; // ::1, or :: and the old compatible form
    for (const Range6 &range : ranges6) {
        if (startsWith(address, range))
            return range.kind;
    }
    return Special;
}

QString AddressKind::word(Kind kind)
{
    switch (kind) {
    case Public:
        return u"public"_s;
    case Loopback:
        return u"loopback"_s;
    case Private:
        return u"private"_s;
    case Shared:
        return u"shared"_s;
    case LinkLocal:
        return u"link-local"_s;
    case Special:
        break;
    }
    return u"special"_s;
}

QString AddressKind::warning(Kind kind)
{
    switch (kind) {
    case Public:
        return QString();
    case Loopback:
        return u"the tester runs on this machine: these results say nothing about the internet"_s;
    case Private:
        return u"the tester is inside your network: these results say nothing about the "
               "internet"_s;
    case Shared:
        return u"your provider's NAT is in the way: inbound connections from the internet "
               "cannot reach you without it"_s;
    case LinkLocal:
        return u"the tester is on your local link: these results say nothing about the "
               "internet"_s;
    case Special:
        break;
    }
    return u"the tester sees a special-purpose address, not a public one: these results say "
           "nothing about the internet"_s;
}

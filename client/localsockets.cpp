#include "client/localsockets.h"

#include <QFile>
#include <QStringList>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {
// The state column: a listening TCP socket; UDP sockets are listed in any state.
constexpr QByteArrayView tcpListen = "0A";

// The kernel prints an address as 32-bit words in the machine's own byte order: the bytes of
// each word come out reversed on a little-endian machine.
QHostAddress addressFromHex(QByteArrayView hex)
{
    QByteArray bytes = QByteArray::fromHex(hex.toByteArray());
    if (bytes.size() != 4 && bytes.size() != 16)
        return QHostAddress();
    if constexpr (Q_BYTE_ORDER == Q_LITTLE_ENDIAN) {
        for (qsizetype word = 0; word < bytes.size(); word += 4)
            std::reverse(bytes.begin() + word, bytes.begin() + word + 4);
    }
    if (bytes.size() == 4)
        return QHostAddress(quint32(quint8(bytes[0])) << 24 | quint32(quint8(bytes[1])) << 16 |
                            quint32(quint8(bytes[2])) << 8 | quint32(quint8(bytes[3])));
    return QHostAddress(reinterpret_cast<const quint8 *>(bytes.constData()));
}

// One table: "sl local_address rem_address st ...", the local address as "HEX:PORT".
void collect(const QString &path, bool tcp, quint16 port, QList<QHostAddress> &addresses)
{
    QFile table(path);
    if (!table.open(QIODevice::ReadOnly))
        return;
    table.readLine(); // the column names
    while (!table.atEnd()) {
        const QList<QByteArray> fields = table.readLine().simplified().split(' ');
        if (fields.size() < 4 || (tcp && fields.at(3) != tcpListen))
            continue;
        const QList<QByteArray> local = fields.at(1).split(':');
        bool ok = false;
        if (local.size() != 2 || local.at(1).toUShort(&ok, 16) != port || !ok)
            continue;
        const QHostAddress address = addressFromHex(local.at(0));
        if (!address.isNull() && !addresses.contains(address))
            addresses.append(address);
    }
}
} // namespace

QList<QHostAddress> LocalSockets::addressesOn(ControlProtocol::Protocol protocol, quint16 port)
{
    const bool tcp = protocol == ControlProtocol::Tcp;
    const QString name = tcp ? u"/proc/net/tcp"_s : u"/proc/net/udp"_s;
    QList<QHostAddress> addresses;
    collect(name, tcp, port, addresses);
    collect(name + u'6', tcp, port, addresses);
    return addresses;
}

bool LocalSockets::receives(const QHostAddress &bound, const QHostAddress &arrival)
{
    if (bound == QHostAddress(QHostAddress::AnyIPv6))
        return true;
    if (bound == QHostAddress(QHostAddress::AnyIPv4))
        return arrival.protocol() == QAbstractSocket::IPv4Protocol;
    // An IPv4 address bound on an IPv6 socket is listed mapped (::ffff:127.0.0.1).
    return bound.isEqual(arrival, QHostAddress::ConvertV4MappedToIPv4);
}

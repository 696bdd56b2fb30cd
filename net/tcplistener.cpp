#include "net/tcplistener.h"

#include "net/netlogging.h"

#include <QUdpSocket>

using namespace Qt::StringLiterals;

namespace {
// A kernel without IPv6 refuses IPv6 sockets, and Qt then listens on IPv4 alone where both
// families were asked for, without a word: asked first, so that the service can say so.
bool canBindIpv6()
{
    QUdpSocket probe;
    return probe.bind(QHostAddress::AnyIPv6, 0);
}
} // namespace

std::unique_ptr<QTcpServer> TcpListener::open(const QHostAddress &address, quint16 port,
                                              int backlog)
{
    auto server = std::make_unique<QTcpServer>();
    server->setListenBacklogSize(backlog);
    if (address.protocol() == QAbstractSocket::AnyIPProtocol)
        listenOnBothFamilies(*server, port);
    else
        server->listen(address, port);
    return server;
}

// Decided once, here: tests follow their client's family, and an IPv6 client can only come
// through a dual-stack listener, so no test ever tries IPv6 on a host without it.
bool TcpListener::listenOnBothFamilies(QTcpServer &server, quint16 port)
{
    if (canBindIpv6() && (server.listen(QHostAddress::Any, port) ||
                          server.serverError() != QAbstractSocket::UnsupportedSocketOperationError))
        return server.isListening();
    qCDebug(lcNet, "TcpListener: this host has no IPv6, serving IPv4 clients only");
    return server.listen(QHostAddress::AnyIPv4, port);
}

QString TcpListener::shownAddress(const QHostAddress &address)
{
    if (address.protocol() != QAbstractSocket::AnyIPProtocol)
        return address.toString();
    return canBindIpv6() ? u"::"_s : u"0.0.0.0"_s;
}

#pragma once

#include <QHostAddress>
#include <QTcpServer>

#include <memory>

// Opens the listening sockets the servers are handed. QHostAddress::Any serves IPv4 and IPv6
// clients on one dual-stack socket, or IPv4 clients alone where the host has no IPv6 (said once
// in the debug log); any other address is listened on as it is.
class TcpListener
{
public:
    // The listener, listening or not (then its errorString() says why). A burst of connections
    // waits in the kernel's queue of `backlog` (capped by the kernel) instead of being dropped
    // and retried by the clients seconds later.
    static std::unique_ptr<QTcpServer> open(const QHostAddress &address, quint16 port, int backlog);
    // How a listener that failed names its address in messages: the dual-stack one as "::",
    // QHostAddress::Any on a host without IPv6 as "0.0.0.0".
    static QString shownAddress(const QHostAddress &address);

private:
    static bool listenOnBothFamilies(QTcpServer &server, quint16 port);
};

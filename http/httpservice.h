#pragma once

#include <QHostAddress>
#include <QString>

#include <memory>
#include <optional>

class HttpHandler;
class LogThrottle;

// What the worker threads of one HTTP listener share: who is let in, the room for connections
// and descriptors, and the handlers that answer the requests. The workers and connections know
// nothing else of what they serve.
//
// Threading: any thread; implementations guard their own state.
class HttpService
{
public:
    virtual ~HttpService() = default;

    // The name the workers' log lines begin with.
    virtual QString name() const = 0;
    // Connections served at once, whoever they come from.
    virtual int maxConnections() const = 0;
    // Counts the peer in, or refuses it when its address has the most it may have.
    virtual bool admit(const QHostAddress &peer) = 0;
    virtual void release(const QHostAddress &peer) = 0;
    virtual int count(const QHostAddress &peer) = 0;
    // Whether a refusal under `key` may be logged now; the count of those not logged.
    virtual std::optional<qint64> admitRefusalLog(const QString &key) = 0;
    // Descriptors for one more connection, and back.
    virtual bool takeDescriptors() = 0;
    virtual void giveDescriptors() = 0;
    virtual int openCount() const = 0;
    virtual void countOpened() = 0;
    virtual void countClosed() = 0;
    // An idle connection was closed to make room for a new one.
    virtual void countIdleEviction() = 0;

    // The handler of one new connection from `peer`, called in the connection's thread;
    // `requestLog` (the worker's, per client) outlives it.
    virtual std::unique_ptr<HttpHandler> createHandler(const QHostAddress &peer,
                                                       LogThrottle &requestLog) = 0;
};

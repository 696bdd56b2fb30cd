#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// One answer of the front door: status, body and its type, and any extra header fields. Every
// answer carries the same caching and content-security fields (see toBytes()).
class HttpResponse
{
public:
    HttpResponse(int status, const QByteArray &contentType, const QByteArray &body);
    static HttpResponse text(int status, const QString &text);
    static HttpResponse json(int status, const QByteArray &json);
    // `policy`: the page's Content-Security-Policy, admitting what the page itself uses.
    static HttpResponse html(int status, const QString &html, const QByteArray &policy);

    void addHeader(const QByteArray &name, const QByteArray &value);
    int status() const { return m_status; }
    QByteArray body() const { return m_body; }

    // The whole answer on the wire; `keepAlive` false adds "Connection: close".
    QByteArray toBytes(bool keepAlive) const;

private:
    static QByteArray reasonPhrase(int status);

    int m_status = 200;
    QByteArray m_content_type;
    QByteArray m_body;
    // Answers that are no page may load nothing at all.
    QByteArray m_policy = "default-src 'none'; frame-ancestors 'none'; base-uri 'none'";
    QList<QPair<QByteArray, QByteArray>> m_headers;
};

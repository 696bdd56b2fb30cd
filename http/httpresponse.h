#pragma once

#include <QByteArray>
#include <QByteArrayView>
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

    // The whole answer on the wire, appended to `out`; `keepAlive` false adds "Connection:
    // close". An answer to HEAD has the head a GET would get and no body.
    void appendTo(QByteArray &out, bool keepAlive, bool withBody = true) const;
    // At least the bytes appendTo() adds.
    qsizetype wireSize(bool keepAlive, bool withBody = true) const;
    QByteArray toBytes(bool keepAlive) const;

private:
    static QByteArrayView reasonPhrase(int status);

    int m_status = 200;
    QByteArray m_content_type;
    QByteArray m_body;
    // Answers that are no page may load nothing at all.
    QByteArray m_policy = "default-src 'none'; frame-ancestors 'none'; base-uri 'none'";
    QList<QPair<QByteArray, QByteArray>> m_headers;
};

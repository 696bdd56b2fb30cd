#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QVarLengthArray>

// One HTTP/1.x request head (request line and header fields, no body) as HttpParser read it:
// the head's bytes and where each part lies in them, so a request costs one buffer.
class HttpRequest
{
public:
    // 0 for a usable request, else the status to answer it with (the connection then closes).
    int errorStatus() const { return m_error_status; }
    QString errorText() const { return m_error_text; }

    QByteArrayView method() const { return part(m_method); }
    bool isHead() const { return method() == "HEAD"; }
    // The target's path, percent-decoded (bytes, UTF-8 when they are text at all).
    QByteArray path() const { return m_path; }
    // The query without its '?', as sent.
    QByteArrayView query() const { return part(m_query); }
    bool hasQueryItem(QByteArrayView name) const;
    // The first query item of that name, percent-decoded; empty when there is none.
    QByteArray queryItem(QByteArrayView name) const;
    // The names of the query's items, joined with '&': values may be huge and say little.
    QByteArray queryNames() const;
    // Every field of that name (any letter case), joined with ", "; empty when there is none.
    QByteArray header(QByteArrayView name) const;
    qsizetype headerCount(QByteArrayView name) const;
    bool keepAlive() const { return m_keep_alive; }

private:
    friend class HttpParser;
    struct Span
    {
        qsizetype at = 0;
        qsizetype size = 0;
    };
    struct Field
    {
        Span name;
        Span value;
    };

    QByteArrayView part(Span span) const
    {
        return QByteArrayView(m_head).sliced(span.at, span.size);
    }

    QByteArray m_head;
    Span m_method;
    Span m_target;
    Span m_query;
    QByteArray m_path;
    QVarLengthArray<Field, 12> m_fields;
    bool m_http11 = false;
    bool m_keep_alive = false;
    int m_error_status = 0;
    QString m_error_text;
};

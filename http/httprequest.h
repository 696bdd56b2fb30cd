#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrlQuery>

// One HTTP/1.x request head (request line and header fields, no body), parsed from the bytes up
// to and including its blank line. The front door takes no request bodies.
class HttpRequest
{
public:
    // Length of the head at the start of `buffer`, its blank line included; -1 while the blank
    // line has not arrived. Lines may end with CR LF or LF alone.
    static qsizetype headLength(QByteArrayView buffer);
    static HttpRequest parse(QByteArrayView head);

    // 0 for a usable request, else the status to answer it with (the connection then closes).
    int errorStatus() const { return m_error_status; }
    QString errorText() const { return m_error_text; }

    QByteArray method() const { return m_method; }
    // The target's path, percent-decoded.
    QString path() const { return m_path; }
    QUrlQuery query() const { return m_query; }
    // Every field of that name (any letter case), joined with ", "; empty when there is none.
    QByteArray header(QByteArrayView name) const;
    bool keepAlive() const { return m_keep_alive; }

private:
    bool parseRequestLine(QByteArrayView line);
    bool parseField(QByteArrayView line);
    bool checkNoBody();
    bool fail(int status, const QString &text);

    QByteArray m_method;
    QString m_path;
    QUrlQuery m_query;
    QByteArray m_version;
    QList<QPair<QByteArray, QByteArray>> m_fields; // names in lower case
    bool m_keep_alive = false;
    int m_error_status = 0;
    QString m_error_text;
};

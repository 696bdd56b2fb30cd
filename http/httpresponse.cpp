#include "http/httpresponse.h"

#include <algorithm>

HttpResponse::HttpResponse(int status, const QByteArray &contentType, const QByteArray &body)
    : m_status(status), m_content_type(contentType), m_body(body)
{
}

HttpResponse HttpResponse::text(int status, const QString &text)
{
    return HttpResponse(status, "text/plain; charset=utf-8", text.toUtf8());
}

HttpResponse HttpResponse::json(int status, const QByteArray &json)
{
    return HttpResponse(status, "application/json", json);
}

HttpResponse HttpResponse::html(int status, const QString &html, const QByteArray &policy)
{
    HttpResponse response(status, "text/html; charset=utf-8", html.toUtf8());
    response.m_policy = policy;
    return response;
}

void HttpResponse::addHeader(const QByteArray &name, const QByteArray &value)
{
    m_headers.append({name, value});
}

QByteArray HttpResponse::toBytes(bool keepAlive) const
{
    QByteArray bytes;
    appendTo(bytes, keepAlive);
    return bytes;
}

void HttpResponse::appendTo(QByteArray &out, bool keepAlive, bool withBody) const
{
    // Grown by half at least: answers appended one by one never copy all those before.
    const qsizetype needed = out.size() + wireSize(keepAlive, withBody);
    if (out.capacity() < needed)
        out.reserve(std::max(needed, out.capacity() + out.capacity() / 2));
    out.append("HTTP/1.1 ")
        .append(QByteArray::number(m_status))
        .append(' ')
        .append(reasonPhrase(m_status))
        .append("\r\nContent-Type: ")
        .append(m_content_type)
        .append("\r\nContent-Length: ")
        .append(QByteArray::number(m_body.size()))
        // Answers depend on who asks and when: never cached, never sniffed, never framed, and
        // a page may load nothing from anywhere.
        .append("\r\nCache-Control: no-store"
                "\r\nX-Content-Type-Options: nosniff"
                "\r\nContent-Security-Policy: ")
        .append(m_policy)
        .append("\r\n");
    for (const auto &[name, value] : m_headers)
        out.append(name).append(": ").append(value).append("\r\n");
    if (!keepAlive)
        out.append("Connection: close\r\n");
    out.append("\r\n");
    if (withBody)
        out.append(m_body);
}

qsizetype HttpResponse::wireSize(bool keepAlive, bool withBody) const
{
    // The fixed fields, the status and length numbers and the longest reason phrase fit in 256.
    qsizetype size = 256 + m_content_type.size() + m_policy.size() + (withBody ? m_body.size() : 0);
    for (const auto &[name, value] : m_headers)
        size += name.size() + value.size() + 4;
    return keepAlive ? size : size + 19;
}

QByteArrayView HttpResponse::reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Content Too Large";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Unknown";
    }
}

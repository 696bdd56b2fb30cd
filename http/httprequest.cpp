#include "http/httprequest.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {
bool isTokenChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool isToken(QByteArrayView text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

// Visible ASCII only: a target carries anything else percent-encoded.
bool isTarget(QByteArrayView text)
{
    return text.startsWith('/') &&
           std::all_of(text.begin(), text.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

bool listsToken(const QByteArray &value, QByteArrayView token)
{
    const QList<QByteArray> items = value.split(',');
    return std::any_of(items.begin(), items.end(), [token](const QByteArray &item) {
        return item.trimmed().compare(token, Qt::CaseInsensitive) == 0;
    });
}
} // namespace

qsizetype HttpRequest::headLength(QByteArrayView buffer)
{
    const qsizetype crlf = buffer.indexOf("\n\r\n");
    const qsizetype lf = buffer.indexOf("\n\n");
    if (lf >= 0 && (crlf < 0 || lf < crlf))
        return lf + 2;
    return crlf >= 0 ? crlf + 3 : -1;
}

HttpRequest HttpRequest::parse(QByteArrayView head)
{
    HttpRequest request;
    QList<QByteArrayView> lines;
    for (qsizetype start = 0; start < head.size();) {
        qsizetype end = head.indexOf('\n', start);
        if (end < 0)
            end = head.size();
        QByteArrayView line = head.sliced(start, end - start);
        if (line.endsWith('\r'))
            line.chop(1);
        lines.append(line);
        start = end + 1;
    }
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    if (lines.isEmpty() || !request.parseRequestLine(lines.first())) {
        if (!request.m_error_status)
            request.fail(400, u"bad request line"_s);
        return request;
    }
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (!request.parseField(lines.at(i)))
            return request;
    }
    if (!request.checkNoBody())
        return request;
    const QByteArray connection = request.header("connection");
    request.m_keep_alive = request.m_version == "HTTP/1.1" ? !listsToken(connection, "close")
                                                           : listsToken(connection, "keep-alive");
    return request;
}

QByteArray HttpRequest::header(QByteArrayView name) const
{
    QByteArray value;
    for (const auto &[fieldName, fieldValue] : m_fields) {
        if (fieldName.compare(name, Qt::CaseInsensitive) != 0)
            continue;
        if (!value.isEmpty())
            value += ", ";
        value += fieldValue;
    }
    return value;
}

bool HttpRequest::parseRequestLine(QByteArrayView line)
{
    const QList<QByteArray> parts = line.toByteArray().split(' ');
    if (parts.size() != 3 || !isToken(parts.at(0)))
        return false;
    m_method = parts.at(0);
    const QByteArray &target = parts.at(1);
    m_version = parts.at(2);
    if (m_version != "HTTP/1.1" && m_version != "HTTP/1.0") {
        return m_version.startsWith("HTTP/") ? fail(505, u"only HTTP/1.0 and 1.1 are spoken"_s)
                                             : false;
    }
    if (!isTarget(target))
        return fail(400, u"bad request target"_s);
    const qsizetype mark = target.indexOf('?');
    m_path =
        QString::fromUtf8(QByteArray::fromPercentEncoding(mark < 0 ? target : target.left(mark)));
    if (mark >= 0)
        m_query.setQuery(QString::fromLatin1(target.mid(mark + 1)));
    return true;
}

bool HttpRequest::parseField(QByteArrayView line)
{
    const qsizetype colon = line.indexOf(':');
    // A line folded onto the one before, or a name with blanks, is malformed.
    if (colon <= 0 || !isToken(line.first(colon)))
        return fail(400, u"bad header field"_s);
    m_fields.append({line.first(colon).toByteArray().toLower(),
                     line.sliced(colon + 1).trimmed().toByteArray()});
    return true;
}

bool HttpRequest::checkNoBody()
{
    if (!header("transfer-encoding").isEmpty())
        return fail(413, u"requests carry no body"_s);
    const QByteArray length = header("content-length");
    if (length.isEmpty())
        return true;
    bool ok = false;
    const qint64 bytes = length.toLongLong(&ok, 10);
    if (!ok || bytes < 0)
        return fail(400, u"bad content length"_s);
    return bytes == 0 || fail(413, u"requests carry no body"_s);
}

bool HttpRequest::fail(int status, const QString &text)
{
    m_error_status = status;
    m_error_text = text;
    return false;
}

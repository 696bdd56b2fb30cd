#include "http/httpparser.h"

#include <QList>

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

using namespace Qt::StringLiterals;

namespace {
enum CharClass : quint8 {
    Token = 1,   // tchar (RFC 9110 section 5.6.2)
    Visible = 2, // VCHAR
    Value = 4,   // VCHAR, SP, HTAB, obs-text
    Host = 8,    // reg-name (unreserved, pct-encoded, sub-delims) and what an IP literal holds
};

constexpr std::array<quint8, 256> kClasses = [] {
    std::array<quint8, 256> classes{};
    for (int c = 0x21; c < 0x7f; ++c)
        classes[c] |= Visible | Value;
    for (int c = 0x80; c < 0x100; ++c)
        classes[c] |= Value;
    classes[' '] |= Value;
    classes['\t'] |= Value;
    for (const char c : std::string_view("!#$%&'*+-.^_`|~"))
        classes[quint8(c)] |= Token;
    for (const char c : std::string_view("-._~%!$&'()*+,;=[]:"))
        classes[quint8(c)] |= Host;
    for (int c = 0; c < 0x80; ++c) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
            classes[c] |= Token | Host;
    }
    return classes;
}();

bool is(char c, CharClass charClass)
{
    return kClasses[quint8(c)] & charClass;
}

bool listsToken(const QByteArray &value, QByteArrayView token)
{
    for (const QByteArray &item : value.split(',')) {
        if (item.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool isDigits(QByteArrayView text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// uri-host [":" port]: a name or IPv4 address, or an IP literal in brackets.
bool isHostField(QByteArrayView host)
{
    if (!std::all_of(host.begin(), host.end(), [](char c) { return is(c, Host); }))
        return false;
    qsizetype portColon = host.lastIndexOf(':');
    if (host.startsWith('[')) {
        const qsizetype close = host.indexOf(']');
        if (close < 0 || host.sliced(close + 1).contains('[') || host.first(close).contains(']'))
            return false;
        portColon = host.sliced(close + 1).isEmpty() ? -1 : close + 1;
        if (portColon >= 0 && host[portColon] != ':')
            return false;
    } else if (host.contains('[') || host.contains(']') || host.count(':') > 1) {
        return false;
    }
    return portColon < 0 || isDigits(host.sliced(portColon + 1));
}

bool startsWithScheme(QByteArrayView target, QByteArrayView scheme)
{
    return target.size() > scheme.size() &&
           target.first(scheme.size()).compare(scheme, Qt::CaseInsensitive) == 0;
}
} // namespace

qsizetype HttpParser::feed(QByteArrayView data)
{
    if (m_state == State::Complete || m_state == State::Failed)
        return 0;
    QByteArray &head = m_request.m_head;
    const qsizetype base = head.size();
    const qsizetype take = std::min(data.size(), MaxHeadBytes + 1 - base);
    head.append(data.first(take));
    const char *bytes = head.constData();
    for (qsizetype at = base; at < base + take; ++at) {
        if (at == MaxHeadBytes) {
            fail(431, u"request head longer than %1 bytes"_s.arg(MaxHeadBytes));
            return take;
        }
        if (!step(bytes[at], at)) {
            head.truncate(at + 1);
            return at + 1 - base;
        }
    }
    return take;
}

HttpRequest HttpParser::takeRequest()
{
    m_state = State::BeforeRequestLine;
    return std::exchange(m_request, HttpRequest());
}

bool HttpParser::step(char c, qsizetype at)
{
    switch (m_state) {
    case State::BeforeRequestLine:
        if (c == '\r' || c == '\n')
            return true;
        m_mark = at;
        m_state = State::Method;
        [[fallthrough]];
    case State::Method:
        if (is(c, Token))
            return true;
        if (c != ' ' || at == m_mark)
            return fail(400, u"bad request line"_s);
        m_request.m_method = {m_mark, at - m_mark};
        m_mark = at + 1;
        m_state = State::Target;
        return true;
    case State::Target:
        if (is(c, Visible))
            return true;
        if (c != ' ' || at == m_mark)
            return fail(400,
                        c == '\r' || c == ' ' ? u"bad request line"_s : u"bad request target"_s);
        m_request.m_target = {m_mark, at - m_mark};
        m_mark = at + 1;
        m_state = State::Version;
        return true;
    case State::Version:
        if (c == '\r')
            return endVersion(at);
        return at - m_mark < 8 && is(c, Visible) ? true : fail(400, u"bad request line"_s);
    case State::RequestLineEnd:
    case State::FieldLineEnd:
        if (c != '\n')
            return fail(400, u"bad line end"_s);
        m_state = State::FieldStart;
        return true;
    case State::FieldStart:
        if (c == '\r') {
            m_state = State::HeadEnd;
            return true;
        }
        if (!is(c, Token))
            return fail(400, u"bad header field"_s);
        m_mark = at;
        m_state = State::FieldName;
        return true;
    case State::FieldName:
        if (is(c, Token))
            return true;
        if (c != ':')
            return fail(400, u"bad header field"_s);
        m_request.m_fields.append({{m_mark, at - m_mark}, {}});
        m_state = State::BeforeValue;
        return true;
    case State::BeforeValue:
        if (c == ' ' || c == '\t')
            return true;
        m_mark = at;
        m_value_end = at;
        m_state = State::FieldValue;
        [[fallthrough]];
    case State::FieldValue:
        if (c == '\r')
            return endField();
        if (!is(c, Value))
            return fail(400, u"bad header field"_s);
        if (c != ' ' && c != '\t')
            m_value_end = at + 1;
        return true;
    case State::HeadEnd:
        if (c != '\n')
            return fail(400, u"bad line end"_s);
        return endHead();
    case State::Complete:
    case State::Failed:
        break;
    }
    return false;
}

bool HttpParser::endVersion(qsizetype at)
{
    const QByteArrayView version = QByteArrayView(m_request.m_head).sliced(m_mark, at - m_mark);
    m_state = State::RequestLineEnd;
    if (version == "HTTP/1.1" || version == "HTTP/1.0") {
        m_request.m_http11 = version == "HTTP/1.1";
        return true;
    }
    const bool numbered = version.size() == 8 && version.startsWith("HTTP/") &&
                          isDigits(version.sliced(5, 1)) && version[6] == '.' &&
                          isDigits(version.sliced(7));
    return numbered ? fail(505, u"only HTTP/1.0 and 1.1 are spoken"_s)
                    : fail(400, u"bad request line"_s);
}

bool HttpParser::endField()
{
    m_request.m_fields.last().value = {m_mark, m_value_end - m_mark};
    m_state = State::FieldLineEnd;
    if (m_request.m_fields.size() > MaxFields)
        return fail(431, u"more than %1 header fields"_s.arg(MaxFields));
    return true;
}

bool HttpParser::endHead()
{
    if (!checkTarget())
        return false;
    const qsizetype hosts = m_request.headerCount("host");
    if (m_request.m_http11 && hosts != 1)
        return fail(400, hosts == 0 ? u"no Host field"_s : u"more than one Host field"_s);
    if (hosts > 0 && !isHostField(m_request.header("host")))
        return fail(400, u"bad Host field"_s);
    if (!checkBody())
        return false;
    const QByteArray connection = m_request.header("connection");
    m_request.m_keep_alive = m_request.m_http11 ? !listsToken(connection, "close")
                                                : listsToken(connection, "keep-alive");
    m_state = State::Complete;
    return false;
}

// Origin form, absolute form (http or https), or "*" for OPTIONS.
bool HttpParser::checkTarget()
{
    QByteArrayView target = m_request.part(m_request.m_target);
    qsizetype pathAt = m_request.m_target.at;
    if (target == "*" && m_request.method() == "OPTIONS") {
        m_request.m_path = "*";
        return true;
    }
    for (const QByteArrayView scheme : {QByteArrayView("http://"), QByteArrayView("https://")}) {
        if (!startsWithScheme(target, scheme))
            continue;
        const QByteArrayView rest = target.sliced(scheme.size());
        qsizetype authority = 0;
        while (authority < rest.size() && rest[authority] != '/' && rest[authority] != '?')
            ++authority;
        if (authority == 0 || !isHostField(rest.first(authority)))
            return fail(400, u"bad request target"_s);
        target = rest.sliced(authority);
        pathAt += scheme.size() + authority;
        break;
    }
    if (pathAt == m_request.m_target.at && !target.startsWith('/'))
        return fail(400, u"bad request target"_s);
    const qsizetype mark = target.indexOf('?');
    const QByteArrayView path = mark < 0 ? target : target.first(mark);
    m_request.m_path = path.isEmpty()       ? QByteArray("/")
                       : path.contains('%') ? QByteArray::fromPercentEncoding(path.toByteArray())
                                            : path.toByteArray();
    if (mark >= 0)
        m_request.m_query = {pathAt + mark + 1, target.size() - mark - 1};
    return true;
}

bool HttpParser::checkBody()
{
    const qsizetype lengths = m_request.headerCount("content-length");
    if (m_request.headerCount("transfer-encoding") > 0)
        return fail(lengths > 0 ? 400 : 413, lengths > 0
                                                 ? u"both Content-Length and Transfer-Encoding"_s
                                                 : u"requests carry no body"_s);
    if (lengths == 0)
        return true;
    const QByteArray length = m_request.header("content-length");
    if (lengths > 1 || length.isEmpty() || !isDigits(length))
        return fail(400, u"bad content length"_s);
    return std::all_of(length.begin(), length.end(), [](char c) { return c == '0'; })
               ? true
               : fail(413, u"requests carry no body"_s);
}

bool HttpParser::fail(int status, const QString &text)
{
    m_request.m_error_status = status;
    m_request.m_error_text = text;
    m_state = State::Failed;
    return false;
}

#include "http/httprequest.h"

#include <algorithm>

namespace {
// Calls `visit(name, value)` for each item of the query until it returns true.
template<typename Visit> void forEachQueryItem(QByteArrayView query, Visit visit)
{
    while (!query.isEmpty()) {
        qsizetype end = query.indexOf('&');
        if (end < 0)
            end = query.size();
        const QByteArrayView item = query.first(end);
        const qsizetype equals = item.indexOf('=');
        const QByteArrayView name = equals < 0 ? item : item.first(equals);
        const QByteArrayView value = equals < 0 ? QByteArrayView() : item.sliced(equals + 1);
        if (!item.isEmpty() && visit(name, value))
            return;
        query = query.sliced(std::min(end + 1, query.size()));
    }
}

QByteArray decoded(QByteArrayView text)
{
    return text.contains('%') ? QByteArray::fromPercentEncoding(text.toByteArray())
                              : text.toByteArray();
}
} // namespace

bool HttpRequest::hasQueryItem(QByteArrayView name) const
{
    bool found = false;
    forEachQueryItem(query(), [&](QByteArrayView itemName, QByteArrayView) {
        found = decoded(itemName) == name;
        return found;
    });
    return found;
}

QByteArray HttpRequest::queryItem(QByteArrayView name) const
{
    QByteArray found;
    forEachQueryItem(query(), [&](QByteArrayView itemName, QByteArrayView value) {
        if (decoded(itemName) != name)
            return false;
        found = decoded(value);
        return true;
    });
    return found;
}

QByteArray HttpRequest::queryNames() const
{
    QByteArray names;
    forEachQueryItem(query(), [&](QByteArrayView itemName, QByteArrayView) {
        if (!names.isEmpty())
            names += '&';
        names += itemName;
        return false;
    });
    return names;
}

QByteArray HttpRequest::header(QByteArrayView name) const
{
    QByteArray value;
    for (const Field &field : m_fields) {
        if (part(field.name).compare(name, Qt::CaseInsensitive) != 0)
            continue;
        if (!value.isEmpty())
            value += ", ";
        value += part(field.value);
    }
    return value;
}

qsizetype HttpRequest::headerCount(QByteArrayView name) const
{
    return std::count_if(m_fields.begin(), m_fields.end(), [&](const Field &field) {
        return part(field.name).compare(name, Qt::CaseInsensitive) == 0;
    });
}

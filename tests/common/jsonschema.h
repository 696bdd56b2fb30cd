#pragma once

// The schemas of docs/json.md, and a check of a document against one: the keywords the
// document uses (type, properties, required, additionalProperties, items, enum, const).

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QString>

namespace vxtest {

using namespace Qt::StringLiterals;

// The JSON block after "Schema `name`:" in the document.
inline QJsonObject documentedSchema(const QString &docPath, const QString &name)
{
    QFile file(docPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QString text = QString::fromUtf8(file.readAll());
    const QRegularExpressionMatch match =
        QRegularExpression(u"Schema `"_s + QRegularExpression::escape(name) +
                               u"`:\\s*```json\\n(.*?)```"_s,
                           QRegularExpression::DotMatchesEverythingOption)
            .match(text);
    return QJsonDocument::fromJson(match.captured(1).toUtf8()).object();
}

inline bool hasType(const QJsonValue &value, const QString &type)
{
    if (type == u"object"_s)
        return value.isObject();
    if (type == u"array"_s)
        return value.isArray();
    if (type == u"string"_s)
        return value.isString();
    if (type == u"boolean"_s)
        return value.isBool();
    if (type == u"null"_s)
        return value.isNull();
    if (type == u"integer"_s)
        return value.isDouble() && value.toDouble() == double(qint64(value.toDouble()));
    return false;
}

// Empty when the value fits; else where and why not.
inline QString schemaViolation(const QJsonValue &value, const QJsonObject &schema,
                               const QString &at = u"$"_s)
{
    if (schema.isEmpty())
        return at + u": no schema"_s;
    if (schema.contains(u"const"_s) && value != schema.value(u"const"_s))
        return at + u": not the constant"_s;
    if (schema.contains(u"enum"_s) && !schema.value(u"enum"_s).toArray().contains(value))
        return at + u": not one of the values"_s;
    if (schema.contains(u"type"_s) && !hasType(value, schema.value(u"type"_s).toString()))
        return at + u": not of type "_s + schema.value(u"type"_s).toString();
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        const QJsonObject properties = schema.value(u"properties"_s).toObject();
        for (const QJsonValue &key : schema.value(u"required"_s).toArray())
            if (!object.contains(key.toString()))
                return at + u": lacks "_s + key.toString();
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (!properties.contains(it.key())) {
                if (schema.value(u"additionalProperties"_s) == QJsonValue(false))
                    return at + u": has "_s + it.key();
                continue;
            }
            const QString inner = schemaViolation(it.value(), properties.value(it.key()).toObject(),
                                                  at + u'.' + it.key());
            if (!inner.isEmpty())
                return inner;
        }
    }
    if (value.isArray() && schema.contains(u"items"_s)) {
        const QJsonArray array = value.toArray();
        for (qsizetype i = 0; i < array.size(); ++i) {
            const QString inner = schemaViolation(array.at(i), schema.value(u"items"_s).toObject(),
                                                  at + u'[' + QString::number(i) + u']');
            if (!inner.isEmpty())
                return inner;
        }
    }
    return QString();
}

} // namespace vxtest

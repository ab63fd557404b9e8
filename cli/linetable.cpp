#include "linetable.h"

#include <QJsonValue>
#include <QStringList>

#include <algorithm>
#include <cmath>

ValueKind valueKind(const QString &sqlType)
{
    const QString type = sqlType.trimmed().toLower();
    if (type == QLatin1String("boolean") || type == QLatin1String("bool"))
        return ValueKind::Boolean;
    if (QStringList{"integer", "int", "int4", "bigint", "int8", "smallint", "int2"}.contains(type))
        return ValueKind::Integer;
    if (QStringList{"double precision", "float8", "real", "float4"}.contains(type))
        return ValueKind::Real;
    return ValueKind::Text;
}

QByteArray quotedName(const QString &name)
{
    return '"' + name.toUtf8().replace('"', "\"\"") + '"';
}

QByteArray columnNames(const QVector<LineColumn> &columns)
{
    QByteArrayList names;
    for (const LineColumn &column : columns)
        names << quotedName(column.name);
    return names.join(", ");
}

QString rowProblem(const LineTable &table, const QJsonObject &row)
{
    for (const LineColumn &column : table.columns) {
        if (!row.contains(column.name))
            return QStringLiteral("the row has no value for the column %1").arg(column.name);
        const QJsonValue value = row.value(column.name);
        if (value.isNull()) {
            if (column.name == table.keyColumn)
                return QStringLiteral("the row has no %1").arg(column.name);
            continue;
        }
        bool fits = false;
        switch (column.kind) {
        case ValueKind::Text: fits = value.isString(); break;
        case ValueKind::Integer: fits = value.isDouble() && value.toDouble() == std::trunc(value.toDouble()); break;
        case ValueKind::Real: fits = value.isDouble(); break;
        case ValueKind::Boolean: fits = value.isBool(); break;
        }
        if (!fits)
            return QStringLiteral("the row's %1 is not a value of type %2").arg(column.name, column.sqlType);
    }
    if (row.size() > table.columns.size())
        for (auto it = row.begin(); it != row.end(); ++it)
            if (std::none_of(table.columns.begin(), table.columns.end(),
                             [&](const LineColumn &c) { return c.name == it.key(); }))
                return QStringLiteral("the row has a value for %1, which is not a column").arg(it.key());
    return {};
}

// The shape of the line's record as the spool and the line's database keep
// it: the record's columns with their SQL types, given by the caller. The
// table's definition, its check, the INSERT and the spool's own table are
// all made from this one list.
#ifndef LUMORA_LINETABLE_H
#define LUMORA_LINETABLE_H

#include <QJsonObject>
#include <QString>
#include <QVector>

// How a value of a column travels: as JSON in a row, in the spool, and as
// a parameter of the INSERT.
enum class ValueKind { Text, Integer, Real, Boolean };
ValueKind valueKind(const QString &sqlType);

struct LineColumn
{
    LineColumn() = default;
    LineColumn(const QString &name, const QString &sqlType) : name(name), sqlType(sqlType), kind(valueKind(sqlType)) {}

    QString name;    // "utc_time"
    QString sqlType; // as PostgreSQL takes it: "timestamptz", "double precision"
    ValueKind kind = ValueKind::Text; // of sqlType, worked out once: rows are many
};

struct LineTable
{
    QVector<LineColumn> columns;
    QString keyColumn;    // one attempt, one row: the primary key
    QString timeColumn;   // history is newest first by this
    QString serialColumn; // history of one widget
};

// A name as SQL takes it, in double quotes; and a list of column names.
QByteArray quotedName(const QString &name);
QByteArray columnNames(const QVector<LineColumn> &columns);

// What is wrong with a row for the table (a column missing or unknown, a
// value of the wrong kind, no key); empty when nothing is.
QString rowProblem(const LineTable &table, const QJsonObject &row);

#endif

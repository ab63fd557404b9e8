#include "linedatabase.h"
#include "conninfo.h"

#include <QJsonDocument>
#include <QJsonValue>
#include <QStringList>

#include <cerrno>
#include <cstdlib>
#include <libpq-fe.h>
#ifdef _WIN32
#include <winsock2.h>
#define poll WSAPoll
#else
#include <poll.h>
#endif

namespace {

// A statement the server does not answer within this is taken for a
// server that vanished.
constexpr int StatementSeconds = 15;
constexpr int PollSliceMs = 100;

QByteArray arrayLiteral(const QStringList &items)
{
    QByteArrayList quotedItems;
    for (const QString &item : items)
        quotedItems << '"' + item.toUtf8().replace('\\', "\\\\").replace('"', "\\\"") + '"';
    return '{' + quotedItems.join(',') + '}';
}

// The server's time of a row's arrival, as station clocks drift.
const LineColumn ReceivedAt{QStringLiteral("received_at"), QStringLiteral("timestamptz")};

// The columns the table has, in order: the record's, then received_at.
QVector<LineColumn> tableColumns(const LineTable &table)
{
    return table.columns + QVector<LineColumn>{ReceivedAt};
}

std::optional<QByteArray> parameterText(ValueKind kind, const QJsonValue &value)
{
    if (value.isNull() || value.isUndefined())
        return std::nullopt;
    switch (kind) {
    case ValueKind::Integer: return QByteArray::number(qint64(value.toDouble()));
    case ValueKind::Real: return QByteArray::number(value.toDouble(), 'g', 17);
    case ValueKind::Boolean: return QByteArray(value.toBool() ? "true" : "false");
    case ValueKind::Text: break;
    }
    return value.toString().toUtf8();
}

} // namespace

struct LineDatabase::Reply
{
    bool ok = false;
    QString error;       // else why, in the server's or libpq's words
    QByteArray sqlState; // of the server's error; empty when the connection failed
    std::shared_ptr<PGresult> result;
};

LineDatabase::~LineDatabase()
{
    disconnect();
}

void LineDatabase::disconnect()
{
    if (m_conn)
        PQfinish(m_conn);
    m_conn = nullptr;
}

// -1 once the deadline has passed or the caller stopped; else the socket's
// events (none after a slice of waiting), so that a stop is heard in time.
int LineDatabase::waitForSocket(bool writing, const QDeadlineTimer &deadline)
{
    for (;;) {
        if ((m_stop && m_stop->load()) || deadline.hasExpired())
            return -1;
        pollfd socket{PQsocket(m_conn), short(writing ? POLLOUT | POLLIN : POLLIN), 0};
        const int ready = ::poll(&socket, 1, int(qMin<qint64>(PollSliceMs, deadline.remainingTime())));
        if (ready > 0)
            return socket.revents;
        if (ready < 0 && errno != EINTR)
            return POLLERR;
    }
}

bool LineDatabase::connect(const QString &address, QString *error)
{
    disconnect();
    m_address = address;
    const QByteArray conninfo = address.toUtf8();
    // The address's own settings replace the application name; ours replace
    // its client encoding, as every text is sent as UTF-8.
    const char *const keywords[] = {"fallback_application_name", "dbname", "client_encoding", nullptr};
    const char *const values[] = {"lumora-flash", conninfo.constData(), "UTF8", nullptr};
    m_conn = PQconnectStartParams(keywords, values, 1);
    if (!m_conn) {
        *error = QStringLiteral("out of memory");
        return false;
    }
    // The server's notices ("already exists, skipping") and a closing
    // connection's last words are no lines for standard error.
    PQsetNoticeProcessor(m_conn, [](void *, const char *) {}, nullptr);
    int seconds = DefaultConnectSeconds;
    if (PQconninfoOption *settings = PQconninfo(m_conn)) {
        for (PQconninfoOption *s = settings; s->keyword; ++s)
            if (qstrcmp(s->keyword, "connect_timeout") == 0 && s->val && atoi(s->val) > 0)
                seconds = atoi(s->val);
        PQconninfoFree(settings);
    }
    const QDeadlineTimer deadline(seconds * 1000);
    auto failed = [&](const QString &why) {
        *error = maskedText(why.simplified(), address);
        disconnect();
        return false;
    };
    PostgresPollingStatusType status = PQstatus(m_conn) == CONNECTION_BAD ? PGRES_POLLING_FAILED
                                                                          : PGRES_POLLING_WRITING;
    while (status != PGRES_POLLING_OK) {
        if (status == PGRES_POLLING_FAILED)
            return failed(QString::fromUtf8(PQerrorMessage(m_conn)));
        if (waitForSocket(status == PGRES_POLLING_WRITING, deadline) < 0)
            return failed(m_stop && m_stop->load()
                              ? QStringLiteral("stopped while connecting")
                              : QStringLiteral("no connection to the server within %1 s (connect_timeout)")
                                    .arg(seconds));
        status = PQconnectPoll(m_conn);
    }
    PQsetnonblocking(m_conn, 1);
    // Times without a zone are the record's UTC times, and history shows UTC.
    const Reply reply = execute("SET TIME ZONE 'UTC'");
    if (!reply.ok)
        return failed(reply.error);
    return true;
}

LineDatabase::Reply LineDatabase::execute(const QByteArray &sql, const Parameters &parameters)
{
    Reply reply;
    if (!m_conn) {
        reply.error = QStringLiteral("not connected");
        return reply;
    }
    const QDeadlineTimer deadline(StatementSeconds * 1000);
    // A statement cut off may or may not have been committed: it never
    // counts as done.
    auto lost = [&](const QString &why) {
        reply.ok = false;
        reply.error = maskedText(why.simplified(), m_address);
        reply.sqlState.clear();
        reply.result.reset();
        disconnect();
        return reply;
    };
    auto connectionError = [&] { return QString::fromUtf8(PQerrorMessage(m_conn)); };
    auto noAnswer = [&] {
        return m_stop && m_stop->load() ? QStringLiteral("stopped while waiting for the server")
                                        : QStringLiteral("the server did not answer within %1 s").arg(StatementSeconds);
    };
    QVector<const char *> values;
    for (const std::optional<QByteArray> &p : parameters)
        values << (p ? p->constData() : nullptr);
    const int sent = parameters.isEmpty()
                         ? PQsendQuery(m_conn, sql.constData())
                         : PQsendQueryParams(m_conn, sql.constData(), parameters.size(), nullptr, values.constData(),
                                             nullptr, nullptr, 0);
    if (!sent)
        return lost(connectionError());
    int flushed;
    while ((flushed = PQflush(m_conn)) == 1) {
        const int ready = waitForSocket(true, deadline);
        if (ready < 0)
            return lost(noAnswer());
        if ((ready & POLLIN) && !PQconsumeInput(m_conn))
            return lost(connectionError());
    }
    if (flushed < 0)
        return lost(connectionError());
    bool failed = false;
    for (;;) {
        while (PQisBusy(m_conn)) {
            if (waitForSocket(false, deadline) < 0)
                return lost(noAnswer());
            if (!PQconsumeInput(m_conn))
                return lost(connectionError());
        }
        PGresult *result = PQgetResult(m_conn);
        if (!result)
            break;
        const ExecStatusType status = PQresultStatus(result);
        if (!failed && status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            failed = true;
            reply.error = maskedText(QString::fromUtf8(PQresultErrorMessage(result)).simplified(), m_address);
            reply.sqlState = PQresultErrorField(result, PG_DIAG_SQLSTATE);
        }
        reply.result.reset(result, PQclear);
    }
    reply.ok = !failed && reply.result;
    if (PQstatus(m_conn) == CONNECTION_BAD)
        return lost(reply.error.isEmpty() ? connectionError() : reply.error);
    // A failed statement of a transaction leaves it open and aborted.
    if (!reply.ok && PQtransactionStatus(m_conn) != PQTRANS_IDLE) {
        const QString error = reply.error;
        const QByteArray sqlState = reply.sqlState;
        if (!execute("ROLLBACK").ok)
            return lost(error);
        reply.error = error;
        reply.sqlState = sqlState;
    }
    return reply;
}

LineDatabase::Reply LineDatabase::beginTableTransaction(bool making, const QByteArray &statements)
{
    // Who makes the table holds this lock until it has committed, and who
    // looks at it shares it. Without it, a look at the catalog while the
    // table is made can find it made but its primary key not yet, and refuse
    // a table that is sound.
    return execute("BEGIN; SELECT pg_advisory_xact_lock" + QByteArray(making ? "" : "_shared") + "(hashtext('"
                   + QByteArray(AttemptsTable) + "'));" + statements);
}

LineDatabase::Shape LineDatabase::endTableTransaction(Shape shape, QString *error)
{
    if (!m_conn)
        return Shape::Failed;
    // After a failed statement the transaction is rolled back already.
    if (PQtransactionStatus(m_conn) != PQTRANS_IDLE) {
        const Reply ended = execute("COMMIT");
        if (!ended.ok) {
            *error = ended.error;
            return Shape::Failed;
        }
    }
    return shape;
}

LineDatabase::Shape LineDatabase::checkShape(const LineTable &table, QString *error)
{
    const Reply begun = beginTableTransaction(false);
    if (!begun.ok) {
        *error = begun.error;
        return Shape::Failed;
    }
    return endTableTransaction(checkShapeLocked(table, error), error);
}

LineDatabase::Shape LineDatabase::checkShapeLocked(const LineTable &table, QString *error)
{
    const Reply found = execute("SELECT to_regclass($1) IS NOT NULL, EXISTS (SELECT 1 FROM pg_index i"
                                " JOIN pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = i.indkey[0]"
                                " WHERE i.indrelid = to_regclass($1) AND i.indisunique AND i.indnatts = 1"
                                " AND a.attname = $2)",
                                {QByteArray(AttemptsTable), table.keyColumn.toUtf8()});
    if (!found.ok) {
        *error = found.error;
        return Shape::Failed;
    }
    if (PQgetvalue(found.result.get(), 0, 0)[0] != 't')
        return Shape::Missing;
    const bool keyed = PQgetvalue(found.result.get(), 0, 1)[0] == 't';

    QStringList names, types;
    for (const LineColumn &column : tableColumns(table)) {
        names << column.name;
        types << column.sqlType;
    }
    const Reply columns = execute("SELECT e.name, e.type, format_type(to_regtype(e.type), NULL),"
                                  " format_type(a.atttypid, a.atttypmod)"
                                  " FROM unnest($2::text[], $3::text[]) WITH ORDINALITY AS e(name, type, n)"
                                  " LEFT JOIN pg_attribute a ON a.attrelid = to_regclass($1) AND a.attname = e.name"
                                  " AND a.attnum > 0 AND NOT a.attisdropped ORDER BY e.n",
                                  {QByteArray(AttemptsTable), arrayLiteral(names), arrayLiteral(types)});
    if (!columns.ok) {
        *error = columns.error;
        return Shape::Failed;
    }
    QStringList differences;
    PGresult *r = columns.result.get();
    for (int row = 0; row < PQntuples(r); ++row) {
        const QString name = QString::fromUtf8(PQgetvalue(r, row, 0));
        const QString wanted = QString::fromUtf8(PQgetvalue(r, row, PQgetisnull(r, row, 2) ? 1 : 2));
        const QString actual = QString::fromUtf8(PQgetvalue(r, row, 3));
        if (PQgetisnull(r, row, 3))
            differences << QStringLiteral("it has no column %1").arg(name);
        else if (actual != wanted)
            differences << QStringLiteral("its column %1 is %2, not %3").arg(name, actual, wanted);
    }
    if (!keyed)
        differences << QStringLiteral("%1 is not its primary key").arg(table.keyColumn);
    if (differences.isEmpty())
        return Shape::Matches;
    *error = QStringLiteral("the table %1 has another shape: %2. It cannot take these rows: give another database,"
                            " or rename that table (ALTER TABLE %1 RENAME TO ...)")
                 .arg(QLatin1String(AttemptsTable), differences.join(QStringLiteral("; ")));
    return Shape::Differs;
}

LineDatabase::Readiness LineDatabase::prepareTable(const LineTable &table, QString *error)
{
    auto readiness = [](Shape shape) {
        return shape == Shape::Matches ? Readiness::Ready
                                       : shape == Shape::Differs ? Readiness::Refused : Readiness::Failed;
    };
    const Shape shape = checkShape(table, error);
    if (shape != Shape::Missing)
        return readiness(shape);
    // Flashers that start at once against an empty database take turns, so
    // that one creates the tables and the others find them.
    QByteArrayList columns;
    for (const LineColumn &column : tableColumns(table))
        columns << quotedName(column.name) + ' ' + column.sqlType.toUtf8()
                       + (column.name == table.keyColumn ? " PRIMARY KEY" : "")
                       + (column.name == ReceivedAt.name ? " DEFAULT now()" : "");
    const QByteArray attempts = AttemptsTable;
    const QByteArray make =
        " CREATE TABLE IF NOT EXISTS " + QByteArray(SchemaTable) + " (version integer PRIMARY KEY,"
        " applied_at timestamptz NOT NULL DEFAULT now());"
        " INSERT INTO " + SchemaTable + " (version) VALUES (" + QByteArray::number(SchemaVersion) + ")"
        " ON CONFLICT DO NOTHING;"
        " CREATE TABLE IF NOT EXISTS " + attempts + " (" + columns.join(", ") + ");"
        " CREATE INDEX IF NOT EXISTS " + attempts + "_time ON " + attempts + " (" + quotedName(table.timeColumn) + ");"
        " CREATE INDEX IF NOT EXISTS " + attempts + "_serial ON " + attempts + " (" + quotedName(table.serialColumn)
        + ", " + quotedName(table.timeColumn) + ");";
    const Reply made = beginTableTransaction(true, make);
    if (made.ok) {
        // Checked before the commit: what is committed is what was checked.
        return readiness(endTableTransaction(checkShapeLocked(table, error), error));
    }
    if (!m_conn) {
        *error = made.error;
        return Readiness::Failed;
    }
    // Not allowed to make it, maybe: another flasher may have made it since.
    QString again;
    if (checkShape(table, &again) == Shape::Matches)
        return Readiness::Ready;
    *error = m_conn ? QStringLiteral("cannot create the table %1: %2").arg(QLatin1String(AttemptsTable), made.error)
                    : again;
    return m_conn ? Readiness::Refused : Readiness::Failed;
}

LineDatabase::Insert LineDatabase::insert(const LineTable &table, const QVector<QJsonObject> &rows, QString *error,
                                          int *inserted)
{
    QByteArray sql = "INSERT INTO " + QByteArray(AttemptsTable) + " (" + columnNames(table.columns) + ") VALUES ";
    Parameters parameters;
    for (int r = 0; r < rows.size(); ++r) {
        QByteArrayList placeholders;
        for (const LineColumn &column : table.columns) {
            parameters << parameterText(column.kind, rows[r].value(column.name));
            placeholders << '$' + QByteArray::number(parameters.size());
        }
        sql += (r ? ", (" : "(") + placeholders.join(", ") + ')';
    }
    sql += " ON CONFLICT (" + quotedName(table.keyColumn) + ") DO NOTHING";
    const Reply reply = execute(sql, parameters);
    if (reply.ok) {
        if (inserted)
            *inserted = atoi(PQcmdTuples(reply.result.get()));
        return Insert::Done;
    }
    *error = reply.error;
    // Data exceptions and integrity violations are the rows' own fault.
    return m_conn && (reply.sqlState.startsWith("22") || reply.sqlState.startsWith("23")) ? Insert::RowRefused
                                                                                          : Insert::Failed;
}

bool LineDatabase::history(const LineTable &table, const QString &serial, int limit, QVector<QJsonObject> *rows,
                           QString *error)
{
    rows->clear();
    const Shape shape = checkShape(table, error);
    if (shape == Shape::Missing)
        return true;
    if (shape != Shape::Matches)
        return false;
    Parameters parameters;
    QByteArray sql = "SELECT row_to_json(t)::text FROM (SELECT " + columnNames(tableColumns(table)) + " FROM "
                     + AttemptsTable;
    if (!serial.isNull()) {
        sql += " WHERE " + quotedName(table.serialColumn) + " = $1";
        parameters << serial.toUtf8();
    }
    sql += " ORDER BY " + quotedName(table.timeColumn) + " DESC, " + quotedName(ReceivedAt.name) + " DESC LIMIT "
           + (limit > 0 ? QByteArray::number(limit) : QByteArray("ALL"))
           + ") t";
    const Reply reply = execute(sql, parameters);
    if (!reply.ok) {
        *error = reply.error;
        return false;
    }
    for (int row = 0; row < PQntuples(reply.result.get()); ++row)
        *rows << QJsonDocument::fromJson(PQgetvalue(reply.result.get(), row, 0)).object();
    return true;
}

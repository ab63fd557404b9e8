#include "spool.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonValue>
#include <QStringList>

#include <sqlite3.h>

namespace {

const char *const Now = "strftime('%Y-%m-%dT%H:%M:%fZ', 'now')";

const char *storageType(ValueKind kind)
{
    switch (kind) {
    case ValueKind::Integer:
    case ValueKind::Boolean: return "INTEGER";
    case ValueKind::Real: return "REAL";
    case ValueKind::Text: break;
    }
    return "TEXT";
}

void bindValue(sqlite3_stmt *statement, int index, ValueKind kind, const QJsonValue &value)
{
    if (value.isNull()) {
        sqlite3_bind_null(statement, index);
        return;
    }
    switch (kind) {
    case ValueKind::Integer: sqlite3_bind_int64(statement, index, qint64(value.toDouble())); return;
    case ValueKind::Real: sqlite3_bind_double(statement, index, value.toDouble()); return;
    case ValueKind::Boolean: sqlite3_bind_int(statement, index, value.toBool()); return;
    case ValueKind::Text: break;
    }
    const QByteArray text = value.toString().toUtf8();
    sqlite3_bind_text(statement, index, text.constData(), text.size(), SQLITE_TRANSIENT);
}

QJsonValue columnValue(sqlite3_stmt *statement, int index, ValueKind kind)
{
    if (sqlite3_column_type(statement, index) == SQLITE_NULL)
        return QJsonValue::Null;
    switch (kind) {
    case ValueKind::Integer: return double(sqlite3_column_int64(statement, index));
    case ValueKind::Real: return sqlite3_column_double(statement, index);
    case ValueKind::Boolean: return sqlite3_column_int(statement, index) != 0;
    case ValueKind::Text: break;
    }
    return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, index)),
                             sqlite3_column_bytes(statement, index));
}

struct Statement
{
    sqlite3_stmt *handle = nullptr;
    ~Statement() { sqlite3_finalize(handle); }
};

} // namespace

Spool::~Spool()
{
    sqlite3_finalize(m_insert);
    sqlite3_close(m_db);
}

QString Spool::defaultPath()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (!QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/lumora/spool.sqlite");
}

QString Spool::lastError() const
{
    return QString::fromUtf8(sqlite3_errmsg(m_db));
}

bool Spool::execute(const char *sql, QString *error)
{
    char *message = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    *error = message ? QString::fromUtf8(message) : lastError();
    sqlite3_free(message);
    if (!sqlite3_get_autocommit(m_db))
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
}

bool Spool::open(const QString &path, const LineTable &table, QString *error)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_table = table;
    const QString directory = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(directory)) {
        *error = QStringLiteral("cannot make the directory %1").arg(directory);
        return false;
    }
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        *error = lastError();
        return false;
    }
    sqlite3_busy_timeout(m_db, BusySeconds * 1000);
    QByteArrayList columns;
    for (const LineColumn &column : table.columns)
        columns << quotedName(column.name) + ' ' + storageType(column.kind);
    // The write of the user version proves the spool writable, also when
    // nothing else in it changes.
    const QByteArray create =
        "PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL; BEGIN IMMEDIATE;"
        " CREATE TABLE IF NOT EXISTS attempts (spool_id INTEGER PRIMARY KEY, " + columns.join(", ") + ","
        " spool_added_at TEXT NOT NULL DEFAULT (" + Now + "), spool_sent_at TEXT);"
        " CREATE INDEX IF NOT EXISTS attempts_unsent ON attempts (spool_id) WHERE spool_sent_at IS NULL;"
        " DELETE FROM attempts WHERE spool_sent_at < strftime('%Y-%m-%dT%H:%M:%fZ', 'now', '-"
        + QByteArray::number(KeepSentDays) + " days'); PRAGMA user_version = 1;";
    if (!execute(create.constData(), error))
        return false;
    // A spool of an earlier release lacks the newer columns; its rows send
    // them as null.
    QSet<QString> present;
    {
        Statement info;
        sqlite3_prepare_v2(m_db, "PRAGMA table_info(attempts)", -1, &info.handle, nullptr);
        while (sqlite3_step(info.handle) == SQLITE_ROW)
            present << QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(info.handle, 1)));
    }
    for (int i = 0; i < table.columns.size(); ++i)
        if (!present.contains(table.columns.at(i).name)
            && !execute(("ALTER TABLE attempts ADD COLUMN " + columns[i]).constData(), error))
            return false;
    if (!execute("COMMIT", error))
        return false;

    const QByteArray insert = "INSERT INTO attempts (" + columnNames(table.columns) + ") VALUES ("
                              + QByteArray(", ?").repeated(table.columns.size()).mid(2) + ')';
    if (sqlite3_prepare_v2(m_db, insert.constData(), -1, &m_insert, nullptr) != SQLITE_OK) {
        *error = lastError();
        return false;
    }
    return true;
}

// Rows added at once from several threads share one commit: each waits for
// the commit that holds its row, and one of them makes it.
bool Spool::add(const QJsonObject &row, QString *error)
{
    const QString problem = rowProblem(m_table, row);
    if (!problem.isEmpty()) {
        *error = problem;
        return false;
    }
    Waiting mine{&row, false, {}};
    std::unique_lock<std::mutex> queue(m_queueLock);
    m_queue << &mine;
    while (!mine.committed && mine.error.isEmpty()) {
        if (m_committing) {
            m_commitDone.wait(queue);
            continue;
        }
        m_committing = true;
        QVector<Waiting *> batch;
        batch.swap(m_queue);
        queue.unlock();
        QString why;
        const bool committed = commit(batch, &why);
        queue.lock();
        for (Waiting *waiting : batch) {
            waiting->committed = committed;
            waiting->error = why;
        }
        m_committing = false;
        m_commitDone.notify_all();
    }
    *error = mine.error;
    return mine.committed;
}

bool Spool::commit(const QVector<Waiting *> &batch, QString *error)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (!execute("BEGIN IMMEDIATE", error))
        return false;
    for (const Waiting *waiting : batch) {
        for (int i = 0; i < m_table.columns.size(); ++i) {
            const LineColumn &column = m_table.columns.at(i);
            bindValue(m_insert, i + 1, column.kind, waiting->row->value(column.name));
        }
        const bool added = sqlite3_step(m_insert) == SQLITE_DONE;
        sqlite3_reset(m_insert);
        if (!added) {
            *error = lastError();
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
            return false;
        }
    }
    return execute("COMMIT", error);
}

bool Spool::unsent(int limit, const QSet<qint64> &skipped, QVector<Entry> *entries, QString *error)
{
    entries->clear();
    const QByteArray select = "SELECT spool_id, " + columnNames(m_table.columns)
                              + " FROM attempts WHERE spool_sent_at IS NULL ORDER BY spool_id LIMIT "
                              + QByteArray::number(limit + skipped.size());
    std::lock_guard<std::mutex> hold(m_lock);
    Statement query;
    if (sqlite3_prepare_v2(m_db, select.constData(), -1, &query.handle, nullptr) != SQLITE_OK) {
        *error = lastError();
        return false;
    }
    int step;
    while ((step = sqlite3_step(query.handle)) == SQLITE_ROW && entries->size() < limit) {
        const qint64 id = sqlite3_column_int64(query.handle, 0);
        if (skipped.contains(id))
            continue;
        QJsonObject row;
        for (int i = 0; i < m_table.columns.size(); ++i) {
            const LineColumn &column = m_table.columns.at(i);
            row.insert(column.name, columnValue(query.handle, i + 1, column.kind));
        }
        entries->append({id, row});
    }
    if (step != SQLITE_ROW && step != SQLITE_DONE) {
        *error = lastError();
        return false;
    }
    return true;
}

bool Spool::markSent(const QVector<qint64> &ids, QString *error)
{
    QByteArrayList list;
    for (qint64 id : ids)
        list << QByteArray::number(id);
    // Begun as a read, a write would fail at once, without waiting, when
    // another process sharing the spool has written since: it takes the
    // write lock first.
    const QByteArray update = "BEGIN IMMEDIATE; UPDATE attempts SET spool_sent_at = " + QByteArray(Now)
                              + " WHERE spool_id IN (" + list.join(',') + "); COMMIT";
    std::lock_guard<std::mutex> hold(m_lock);
    return execute(update.constData(), error);
}

int Spool::pendingCount(QString *error, const QSet<QString> *keys)
{
    std::lock_guard<std::mutex> hold(m_lock);
    const QByteArray select = keys ? "SELECT " + quotedName(m_table.keyColumn) + " FROM attempts WHERE spool_sent_at IS NULL"
                                   : QByteArray("SELECT count(*) FROM attempts WHERE spool_sent_at IS NULL");
    Statement query;
    if (sqlite3_prepare_v2(m_db, select.constData(), -1, &query.handle, nullptr) != SQLITE_OK) {
        *error = lastError();
        return -1;
    }
    int pending = 0;
    int step;
    while ((step = sqlite3_step(query.handle)) == SQLITE_ROW)
        pending += keys ? keys->contains(QString::fromUtf8(reinterpret_cast<const char *>(
                              sqlite3_column_text(query.handle, 0))))
                        : sqlite3_column_int(query.handle, 0);
    if (step != SQLITE_DONE) {
        *error = lastError();
        return -1;
    }
    return pending;
}

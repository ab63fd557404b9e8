// The spool: every row of the line's record is first committed here, on the
// station's own disk, and marked sent only once the line's database has
// committed it, so that no row is lost while the server is away.
//
// SQLite in WAL mode with synchronous=FULL: when add() returns, the row is
// in the log on the disk (one fsync per commit; rows added at once from
// several threads share one), and readers (the recorder, another flasher)
// never wait for a writer. Several processes may share one
// spool file: every transaction is short, and one that finds the file busy
// waits for it at most BusySeconds.
#ifndef LUMORA_SPOOL_H
#define LUMORA_SPOOL_H

#include "linetable.h"

#include <QSet>

#include <condition_variable>
#include <mutex>

typedef struct sqlite3 sqlite3;
typedef struct sqlite3_stmt sqlite3_stmt;

class Spool
{
public:
    static constexpr int BusySeconds = 5;
    // Sent rows are kept this long, as the station's own copy.
    static constexpr int KeepSentDays = 30;

    Spool() = default;
    ~Spool();
    Spool(const Spool &) = delete;
    Spool &operator=(const Spool &) = delete;

    // $XDG_STATE_HOME/lumora/spool.sqlite, or ~/.local/state/lumora/spool.sqlite.
    static QString defaultPath();

    // Opens the spool at `path`, making it and its directory when missing,
    // and proves that it can be written. False, with the reason, when not.
    bool open(const QString &path, const LineTable &table, QString *error);

    // The calls below may come from any thread.

    // Commits one row; false, with the reason, when it was not committed
    // (the row does not fit the table, the disk is full).
    bool add(const QJsonObject &row, QString *error);

    struct Entry
    {
        qint64 id;
        QJsonObject row;
    };
    // At most `limit` unsent rows, oldest first, leaving out `skipped`.
    bool unsent(int limit, const QSet<qint64> &skipped, QVector<Entry> *entries, QString *error);
    bool markSent(const QVector<qint64> &ids, QString *error);
    // The rows not marked sent, of every process that shares the spool, or
    // only those whose key is one of `keys`; -1, with the reason, when the
    // spool cannot be read.
    int pendingCount(QString *error, const QSet<QString> *keys = nullptr);

private:
    struct Waiting
    {
        const QJsonObject *row;
        bool committed = false;
        QString error;
    };
    bool commit(const QVector<Waiting *> &batch, QString *error);
    bool execute(const char *sql, QString *error);
    QString lastError() const;

    std::mutex m_queueLock; // guards the rows that wait for a commit
    std::condition_variable m_commitDone;
    QVector<Waiting *> m_queue;
    bool m_committing = false;

    std::mutex m_lock; // guards the connection
    sqlite3 *m_db = nullptr;
    sqlite3_stmt *m_insert = nullptr;
    LineTable m_table;
};

#endif

// The line's database: one connection to PostgreSQL through libpq, the
// table lumora_attempts every station writes into, and its history. Every
// wait on the network is bounded and ends early once `stop` is set, so that
// a server that vanished never holds the thread that talks to it.
#ifndef LUMORA_LINEDATABASE_H
#define LUMORA_LINEDATABASE_H

#include "linetable.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>
#include <QVector>

#include <atomic>
#include <memory>
#include <optional>

typedef struct pg_conn PGconn;

// The line's table, and the table that holds its schema version.
constexpr const char *AttemptsTable = "lumora_attempts";
constexpr const char *SchemaTable = "lumora_schema";
constexpr int SchemaVersion = 1;
// The wait for a connection when neither the address, PGCONNECTTIMEOUT nor
// its service sets connect_timeout.
constexpr int DefaultConnectSeconds = 5;

class LineDatabase
{
public:
    explicit LineDatabase(const std::atomic<bool> *stop = nullptr) : m_stop(stop) {}
    ~LineDatabase();
    LineDatabase(const LineDatabase &) = delete;
    LineDatabase &operator=(const LineDatabase &) = delete;

    // Connects to `address` (one that addressProblem() accepts) within its
    // connect_timeout. False with libpq's words, passwords masked: an
    // unknown host, refused credentials, a missing database.
    bool connect(const QString &address, QString *error);
    bool isConnected() const { return m_conn != nullptr; }
    void disconnect();

    enum class Readiness { Ready, Refused, Failed };
    // Creates lumora_attempts (with lumora_schema) when it is missing, safely
    // when several flashers start at once, and checks its shape. Refused,
    // with every difference named, when it cannot take the rows (a column
    // missing or of another type, no primary key on the key column, no
    // right to create it); Failed when the connection failed.
    Readiness prepareTable(const LineTable &table, QString *error);

    enum class Insert { Done, RowRefused, Failed };
    // Inserts `rows` in one statement, its own transaction; rows already
    // there are left as they are. Done only once the server has committed
    // (`inserted`: the rows that were new). RowRefused: the server refused a
    // value; Failed: anything else (the connection is then closed).
    Insert insert(const LineTable &table, const QVector<QJsonObject> &rows, QString *error, int *inserted = nullptr);

    // The table's rows (its columns and received_at), newest first: every
    // widget's (`serial` null) or those of `serial`; at most `limit` (0:
    // all). None while the table is missing.
    bool history(const LineTable &table, const QString &serial, int limit, QVector<QJsonObject> *rows,
                 QString *error);

private:
    struct Reply;
    using Parameters = QVector<std::optional<QByteArray>>;
    Reply execute(const QByteArray &sql, const Parameters &parameters = {});
    int waitForSocket(bool writing, const QDeadlineTimer &deadline);
    enum class Shape { Matches, Missing, Differs, Failed };
    // The table's shape is looked at, and the table made, in a transaction
    // that holds the table's lock: shared to look, all its own to make.
    Reply beginTableTransaction(bool making, const QByteArray &statements = {});
    Shape endTableTransaction(Shape shape, QString *error);
    Shape checkShape(const LineTable &table, QString *error);
    Shape checkShapeLocked(const LineTable &table, QString *error);

    const std::atomic<bool> *m_stop;
    PGconn *m_conn = nullptr;
    QString m_address;
};

#endif

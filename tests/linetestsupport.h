// For the tests and benchmarks of the line's record: a PostgreSQL server of
// their own, and the record's table and rows as the flasher gives them.
#ifndef LUMORA_LINETESTSUPPORT_H
#define LUMORA_LINETESTSUPPORT_H

#include "record.h"

#include <QStringList>
#include <QTemporaryDir>

#include <sys/types.h>

// initdb in a temporary directory; the server listens on a Unix socket there
// and on no TCP port, and runs as the postgres account when this process is
// root. It is stopped and its directory removed with the object, and it
// stops when the thread that started it ends. A Fast server skips its
// fsyncs, for tests that do not measure.
class TestPgServer
{
public:
    enum Durability { Durable, Fast };
    explicit TestPgServer(Durability durability);
    ~TestPgServer();
    TestPgServer(const TestPgServer &) = delete;
    TestPgServer &operator=(const TestPgServer &) = delete;

    // Makes the cluster on the first call, then starts the server unless it
    // runs. False, with the reason (what to install when it is not), when it
    // cannot.
    bool start(QString *error);
    bool stop(QString *error);

    // The address of `database` on this server, in keyword form.
    QString address(const QString &database) const;
    bool createDatabase(const QString &name, QString *error);
    // Runs `sql`; the rows of its result, each row's values joined by '|'.
    QStringList query(const QString &database, const QString &sql, QString *error = nullptr) const;

private:
    pid_t spawn(const QString &program, const QStringList &arguments, QString *error);
    QString logTail() const;

    const Durability m_durability;
    QTemporaryDir m_dir;
    QString m_programs; // the directory of initdb and postgres
    bool m_made = false;
    pid_t m_server = -1;
};

// A row as the flasher makes it for widget `serial`, with a new attempt_id.
QJsonObject testLineRow(const QString &serial, int index);

#endif

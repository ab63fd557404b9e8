#include "linetestsupport.h"

#include <QDateTime>
#include <QDir>
#include <QStandardPaths>
#include <QUuid>

#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char *const ServerAccount = "postgres";

// initdb on the PATH, or in the newest of Debian's versioned directories.
QString serverPrograms()
{
    QString initdb = QStandardPaths::findExecutable(QStringLiteral("initdb"));
    const QStringList versions = QDir(QStringLiteral("/usr/lib/postgresql"))
                                     .entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::Reversed);
    for (const QString &version : versions)
        if (initdb.isEmpty())
            initdb = QStandardPaths::findExecutable(QStringLiteral("initdb"),
                                                    {QStringLiteral("/usr/lib/postgresql/%1/bin").arg(version)});
    return initdb.isEmpty() ? QString() : QFileInfo(initdb).absolutePath();
}

} // namespace

TestPgServer::TestPgServer(Durability durability)
    : m_durability(durability), m_dir(QDir::tempPath() + QStringLiteral("/lumora-pg-XXXXXX")) {}

TestPgServer::~TestPgServer()
{
    if (m_running) {
        QString ignored;
        run(QStringLiteral("pg_ctl"), {"-D", m_dir.filePath("data"), "-m", "immediate", "-w", "stop"}, &ignored);
    }
}

// Runs a server program as the server's account, its output to tools.log.
bool TestPgServer::run(const QString &program, const QStringList &arguments, QString *error)
{
    QByteArrayList argv{QFile::encodeName(m_programs + '/' + program)};
    for (const QString &argument : arguments)
        argv << argument.toLocal8Bit();
    QVector<char *> pointers;
    for (QByteArray &a : argv)
        pointers << a.data();
    pointers << nullptr;
    const passwd *account = geteuid() == 0 ? getpwnam(ServerAccount) : nullptr;
    if (geteuid() == 0 && !account) {
        *error = QStringLiteral("as root, the server runs as the account %1, which is missing: apt-get install"
                                " postgresql makes it").arg(QLatin1String(ServerAccount));
        return false;
    }
    const QByteArray log = QFile::encodeName(m_dir.filePath("tools.log"));
    const QByteArray directory = QFile::encodeName(m_dir.path());
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = ::open(log.constData(), O_WRONLY | O_APPEND | O_CREAT, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        if (chdir(directory.constData()) != 0
            || (account && (setgroups(0, nullptr) != 0 || setgid(account->pw_gid) != 0
                            || setuid(account->pw_uid) != 0)))
            _exit(126);
        execv(pointers[0], pointers.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        QFile file(QString::fromLocal8Bit(log));
        file.open(QIODevice::ReadOnly);
        *error = QStringLiteral("%1 %2 failed: %3").arg(program, arguments.join(' '),
                                                        QString::fromLocal8Bit(file.readAll().right(2000)));
        return false;
    }
    return true;
}

bool TestPgServer::start(QString *error)
{
    if (m_running)
        return true;
    if (!m_made) {
        m_programs = serverPrograms();
        if (m_programs.isEmpty()) {
            *error = QStringLiteral("the PostgreSQL server programs (initdb, pg_ctl) are not installed:"
                                    " apt-get install postgresql");
            return false;
        }
        if (!m_dir.isValid()) {
            *error = m_dir.errorString();
            return false;
        }
        if (const passwd *account = geteuid() == 0 ? getpwnam(ServerAccount) : nullptr)
            if (chown(QFile::encodeName(m_dir.path()).constData(), account->pw_uid, account->pw_gid) != 0) {
                *error = QStringLiteral("cannot give %1 to the account %2").arg(m_dir.path(), ServerAccount);
                return false;
            }
        if (!run(QStringLiteral("initdb"), {"-D", m_dir.filePath("data"), "-U", "postgres", "-A", "trust", "-E",
                                             "UTF8", "--locale=C", "--no-sync"},
                 error))
            return false;
        QFile settings(m_dir.filePath("data/postgresql.conf"));
        if (!settings.open(QIODevice::Append)
            || settings.write(QStringLiteral("listen_addresses = ''\nunix_socket_directories = '%1'\n%2")
                                  .arg(m_dir.path(), m_durability == Fast ? "fsync = off\n" : "")
                                  .toUtf8()) < 0) {
            *error = settings.errorString();
            return false;
        }
        m_made = true;
    }
    m_running = run(QStringLiteral("pg_ctl"),
                    {"-D", m_dir.filePath("data"), "-l", m_dir.filePath("server.log"), "-w", "-t", "60", "start"},
                    error);
    return m_running;
}

bool TestPgServer::stop(QString *error)
{
    if (!m_running)
        return true;
    m_running = !run(QStringLiteral("pg_ctl"), {"-D", m_dir.filePath("data"), "-m", "fast", "-w", "stop"}, error);
    return !m_running;
}

QString TestPgServer::address(const QString &database) const
{
    return QStringLiteral("host=%1 port=5432 user=postgres dbname=%2").arg(m_dir.path(), database);
}

bool TestPgServer::createDatabase(const QString &name, QString *error)
{
    error->clear();
    query(QStringLiteral("postgres"), QStringLiteral("CREATE DATABASE %1").arg(name), error);
    return error->isEmpty();
}

QStringList TestPgServer::query(const QString &database, const QString &sql, QString *error) const
{
    QStringList rows;
    PGconn *conn = PQconnectdb(address(database).toUtf8().constData());
    PGresult *result = PQexec(conn, sql.toUtf8().constData());
    const ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
        if (error)
            *error = QString::fromUtf8(PQerrorMessage(conn)).trimmed();
    }
    for (int row = 0; row < PQntuples(result); ++row) {
        QStringList values;
        for (int column = 0; column < PQnfields(result); ++column)
            values << QString::fromUtf8(PQgetvalue(result, row, column));
        rows << values.join('|');
    }
    PQclear(result);
    PQfinish(conn);
    return rows;
}

LineTable testLineTable()
{
    LineTable table;
    for (const char *column :
         {"utc_time timestamptz", "serial text", "description text", "firmware_before text", "image_file text",
          "image_version text", "image_sha256 text", "pages integer", "pages_refused integer", "outcome text",
          "mode text", "emulated boolean", "index integer", "attempt_id uuid", "station text", "tool_version text",
          "seconds double precision", "firmware_after text", "verify text"}) {
        const QString text = QLatin1String(column);
        table.columns << LineColumn{text.section(' ', 0, 0), text.section(' ', 1)};
    }
    table.keyColumn = QStringLiteral("attempt_id");
    table.timeColumn = QStringLiteral("utc_time");
    table.serialColumn = QStringLiteral("serial");
    return table;
}

QJsonObject testLineRow(const QString &serial, int index)
{
    return {{"utc_time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
            {"serial", serial},
            {"description", "Lumora USB DMX"},
            {"firmware_before", "1.44"},
            {"image_file", "sample-firmware.bin"},
            {"image_version", "2.10"},
            {"image_sha256", QString(64, 'a')},
            {"pages", 64},
            {"pages_refused", 0},
            {"outcome", "done"},
            {"mode", "update"},
            {"emulated", true},
            {"index", index},
            {"attempt_id", QUuid::createUuid().toString(QUuid::WithoutBraces)},
            {"station", "test station"},
            {"tool_version", "1.0.0"},
            {"seconds", 2.25},
            {"firmware_after", QJsonValue::Null},
            {"verify", "verified"}};
}

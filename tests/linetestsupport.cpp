#include "linetestsupport.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QDir>
#include <QStandardPaths>
#include <QThread>
#include <QUuid>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <sys/prctl.h>
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
    if (m_server > 0) {
        kill(m_server, SIGQUIT);
        waitpid(m_server, nullptr, 0);
    }
}

QString TestPgServer::logTail() const
{
    QFile log(m_dir.filePath("server.log"));
    log.open(QIODevice::ReadOnly);
    return QString::fromLocal8Bit(log.readAll().right(2000));
}

// Starts a server program as the server's account, its output to
// server.log. It gets SIGINT (a fast shutdown, for the server) when the
// thread that started it ends, so that no server outlives a test that
// crashed or was killed.
pid_t TestPgServer::spawn(const QString &program, const QStringList &arguments, QString *error)
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
        return -1;
    }
    const QByteArray log = QFile::encodeName(m_dir.filePath("server.log"));
    const QByteArray directory = QFile::encodeName(m_dir.path());
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = ::open(log.constData(), O_WRONLY | O_APPEND | O_CREAT, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        // After the change of account, which would clear it.
        if (chdir(directory.constData()) != 0
            || (account && (setgroups(0, nullptr) != 0 || setgid(account->pw_gid) != 0
                            || setuid(account->pw_uid) != 0))
            || prctl(PR_SET_PDEATHSIG, SIGINT) != 0 || getppid() != parent)
            _exit(126);
        execv(pointers[0], pointers.data());
        _exit(127);
    }
    if (pid < 0)
        *error = QString::fromLocal8Bit(strerror(errno));
    return pid;
}

bool TestPgServer::start(QString *error)
{
    if (m_server > 0)
        return true;
    if (!m_made) {
        m_programs = serverPrograms();
        if (m_programs.isEmpty()) {
            *error = QStringLiteral("the PostgreSQL server programs (initdb, postgres) are not installed:"
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
        const pid_t initdb = spawn(QStringLiteral("initdb"), {"-D", m_dir.filePath("data"), "-U", "postgres", "-A",
                                                              "trust", "-E", "UTF8", "--locale=C", "--no-sync"},
                                   error);
        int status = 0;
        if (initdb < 0 || waitpid(initdb, &status, 0) != initdb || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            *error = QStringLiteral("initdb failed: %1%2").arg(*error, logTail());
            return false;
        }
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
    m_server = spawn(QStringLiteral("postgres"), {"-D", m_dir.filePath("data")}, error);
    const QByteArray address = this->address(QStringLiteral("postgres")).toUtf8();
    QElapsedTimer clock;
    clock.start();
    while (m_server > 0 && PQping(address.constData()) != PQPING_OK) {
        if (waitpid(m_server, nullptr, WNOHANG) == m_server || clock.elapsed() > 60000) {
            stop(error);
            *error = QStringLiteral("the server did not start: %1").arg(logTail());
            return false;
        }
        QThread::msleep(20);
    }
    return m_server > 0;
}

// A fast shutdown: sessions are ended, the server writes its checkpoint.
bool TestPgServer::stop(QString *error)
{
    if (m_server <= 0)
        return true;
    kill(m_server, SIGINT);
    int status = 0;
    const bool ended = waitpid(m_server, &status, 0) == m_server && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    m_server = -1;
    if (!ended)
        *error = QStringLiteral("the server did not stop cleanly: %1").arg(logTail());
    return ended;
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

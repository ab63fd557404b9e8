#include "record.h"
#include "bytetext.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonValue>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <sys/file.h>
#include <unistd.h>
#endif

namespace {

struct Column
{
    const char *csv;     // its name in the header and the database table
    const char *json;    // its name in the JSON events; null: not there
    const char *sqlType; // its type in the database table
    bool atStart;        // known when the widget has been opened: in the start event too
    const char *meaning;
    QJsonValue (*value)(const WidgetRun &run, const RunFacts &facts);
};

QJsonValue textOrNull(bool known, const QString &text)
{
    return known ? QJsonValue(text) : QJsonValue(QJsonValue::Null);
}

// The first ten are the columns of the first release: rows of an older
// record keep to them. New columns go at the end.
const Column Columns[] = {
    {"utc_time", nullptr, "timestamptz", false,
     "when the attempt ended (UTC, ISO 8601)",
     [](const WidgetRun &r, const RunFacts &) -> QJsonValue {
         return r.finishedAt.toString(Qt::ISODate); }},
    {"serial", "serial", "text", true,
     "the widget's USB serial string, as `--list` prints it",
     [](const WidgetRun &r, const RunFacts &) -> QJsonValue {
         return r.shownSerial(); }},
    {"description", "description", "text", true,
     "its USB description",
     [](const WidgetRun &r, const RunFacts &) -> QJsonValue {
         return r.description; }},
    {"firmware_before", "firmware_before", "text", true,
     "the firmware it reported when opened (empty, `null` in JSON, when it did not say)",
     [](const WidgetRun &r, const RunFacts &) -> QJsonValue {
         return textOrNull(r.identified, r.firmwareBefore); }},
    {"image_file", nullptr, "text", false,
     "the image's file name",
     [](const WidgetRun &, const RunFacts &f) -> QJsonValue {
         return f.imageFile; }},
    {"image_version", nullptr, "text", false,
     "the image's version line",
     [](const WidgetRun &, const RunFacts &f) -> QJsonValue {
         return f.imageVersion; }},
    {"image_sha256", nullptr, "text", false,
     "of the whole image file, as `sha256sum` shows it",
     [](const WidgetRun &, const RunFacts &f) -> QJsonValue {
         return QString::fromLatin1(f.imageSha256); }},
    {"pages", "pages_sent", "integer", false,
     "pages sent",
     [](const WidgetRun &r, const RunFacts &) -> QJsonValue {
         return r.pagesSent; }},
    {"pages_refused", "pages_refused", "integer", false,
     "pages refused, or not answered in time",
     [](const WidgetRun &r, const RunFacts &) -> QJsonValue {
         return r.pagesRefused; }},
    {"outcome", "outcome", "text", false,
     "how the attempt ended (see the outcomes)",
     [](const WidgetRun &r, const RunFacts &) -> QJsonValue {
         return outcomeName(r.result); }},
    {"mode", "mode", "text", true,
     "`update`, or `recover` for a widget that did not identify itself",
     [](const WidgetRun &r, const RunFacts &) -> QJsonValue {
         return r.recover && !r.identified ? "recover" : "update"; }},
    {"emulated", "emulated", "boolean", true,
     "`true` when emulated widgets stood in for USB",
     [](const WidgetRun &, const RunFacts &f) -> QJsonValue {
         return f.emulated; }},
    {"index", "index", "integer", true,
     "its place in the device list; in a station, the order of arrival",
     [](const WidgetRun &r, const RunFacts &) -> QJsonValue { return r.index; }},
    {"attempt_id", "attempt_id", "uuid", true,
     "a random UUID made before the widget is touched: the attempt's key",
     [](const WidgetRun &r, const RunFacts &) -> QJsonValue {
         return r.attemptId; }},
    {"station", "station", "text", true,
     "the host name, or `--station-name`",
     [](const WidgetRun &, const RunFacts &f) -> QJsonValue {
         return f.station; }},
    {"tool_version", "tool_version", "text", true,
     "this program's version",
     [](const WidgetRun &, const RunFacts &f) -> QJsonValue {
         return f.toolVersion; }},
    {"seconds", "seconds", "double precision", false,
     "how long the attempt took, the check after the restart included",
     [](const WidgetRun &r, const RunFacts &) -> QJsonValue {
         return qRound(r.seconds * 1000) / 1000.0; }},
    {"firmware_after", "firmware_after", "text", false,
     "the firmware it reports after its restart (empty, `null` in JSON, when it did not answer)",
     [](const WidgetRun &r, const RunFacts &) -> QJsonValue {
         return textOrNull(!r.firmwareAfter.isEmpty(), r.firmwareAfter); }},
    {"verify", "verify", "text", false,
     "`verified`, `mismatch`, `no_answer`, `unchecked` (the version line is not M.N) or `skipped`",
     [](const WidgetRun &r, const RunFacts &) -> QJsonValue {
         return verifyName(r.verify); }},
};
constexpr int FirstReleaseColumns = 10;
constexpr int ColumnCount = int(sizeof Columns / sizeof Columns[0]);

QString cellText(const QJsonValue &value)
{
    if (value.isBool())
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 12);
    return value.toString();
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool writeAll(int fd, const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const auto n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

// A row that was written is on the disk when the station loses power.
bool onDisk(int fd)
{
#ifdef _WIN32
    return _commit(fd) == 0;
#elif defined(__APPLE__)
    return ::fsync(fd) == 0;
#else
    return ::fdatasync(fd) == 0;
#endif
}

bool sameFile(const struct stat &a, const QString &path)
{
    struct stat b;
    return ::stat(fileNameBytes(path).constData(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Holds an exclusive lock on the file while it lives, so that two flashers
// starting at once write one header between them.
class FileLock
{
public:
    explicit FileLock(int fd) : m_fd(fd)
    {
#ifndef _WIN32
        while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
#endif
    }
    ~FileLock()
    {
#ifndef _WIN32
        ::flock(m_fd, LOCK_UN);
#endif
    }

private:
    int m_fd;
};

} // namespace

QStringList recordColumns()
{
    QStringList names;
    for (const Column &c : Columns)
        names << QLatin1String(c.csv);
    return names;
}

QVector<RecordColumnDoc> recordColumnDocs()
{
    QVector<RecordColumnDoc> docs;
    for (const Column &c : Columns)
        docs << RecordColumnDoc{c.csv, c.json, c.atStart, c.meaning};
    return docs;
}

LineTable recordLineTable()
{
    LineTable table;
    for (const Column &c : Columns)
        table.columns << LineColumn{QLatin1String(c.csv), QLatin1String(c.sqlType)};
    table.keyColumn = QStringLiteral("attempt_id");
    table.timeColumn = QStringLiteral("utc_time");
    table.serialColumn = QStringLiteral("serial");
    return table;
}

QJsonObject recordRow(const WidgetRun &run, const RunFacts &facts)
{
    QJsonObject row;
    for (const Column &c : Columns)
        row.insert(QLatin1String(c.csv), c.value(run, facts));
    return row;
}

QJsonObject jsonFields(const WidgetRun &run, const RunFacts &facts, bool atStart)
{
    QJsonObject fields;
    for (const Column &c : Columns)
        if (c.json && (c.atStart || !atStart))
            fields.insert(QLatin1String(c.json), c.value(run, facts));
    return fields;
}
QString csvCell(QString text)
{
    static const QString formulaStart = QStringLiteral("=+-@\t\r");
    if (!text.isEmpty() && formulaStart.contains(text.front()))
        text.prepend(QLatin1Char('\''));
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n'))
        && !text.contains(QLatin1Char('\r')))
        return text;
    return QLatin1Char('"') + text.replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
}

QByteArray recordLine(const WidgetRun &run, const RunFacts &facts, int columns)
{
    QStringList cells;
    for (int i = 0; i < qMin(columns, ColumnCount); ++i)
        cells << csvCell(cellText(Columns[i].value(run, facts)));
    return cells.join(QLatin1Char(',')).toUtf8();
}

RecordFile::~RecordFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool RecordFile::open(const QString &path, const QStringList &readFiles, QString *error, QString *note)
{
    m_path = path;
    m_readFiles = readFiles;
    return openAt(error, note);
}

bool RecordFile::openAt(QString *error, QString *note)
{
    const QByteArray path = fileNameBytes(m_path);
#ifdef O_NONBLOCK
    // A pipe that nobody reads must not hold the run at its open.
    m_fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK, 0644);
    if (m_fd < 0 && errno == ENXIO) {
        *error = QStringLiteral("it is a pipe that nobody reads");
        return false;
    }
    if (m_fd >= 0)
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) & ~O_NONBLOCK);
#else
    m_fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT, 0644);
#endif
    if (m_fd < 0) {
        *error = systemError();
        return false;
    }
    auto refuse = [&](const QString &why) {
        ::close(m_fd);
        m_fd = -1;
        *error = why;
        return false;
    };
    struct stat info;
    if (::fstat(m_fd, &info) != 0)
        return refuse(systemError());
    for (const QString &read : qAsConst(m_readFiles))
        if (sameFile(info, read))
            return refuse(QStringLiteral("it is the image file %1").arg(read));

    const QByteArray header = recordColumns().join(QLatin1Char(',')).toUtf8();
    m_columns = ColumnCount;
    m_lineEnd = "\n";
    // A pipe or a device takes the header and the rows as they come.
    if (!S_ISREG(info.st_mode))
        return writeAll(m_fd, header + m_lineEnd) || refuse(systemError());

    FileLock lock(m_fd);
    const int readFd = ::open(path.constData(), O_RDONLY);
    QFile existing;
    if (readFd < 0)
        return refuse(systemError());
    if (!existing.open(readFd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(readFd);
        return refuse(existing.errorString());
    }
    const QByteArray contents = existing.readAll();
    if (contents.isEmpty())
        return (writeAll(m_fd, header + m_lineEnd) && onDisk(m_fd)) || refuse(systemError());

    const int firstEnd = contents.indexOf('\n');
    const QByteArray first = contents.left(firstEnd).trimmed();
    const QStringList names = QString::fromUtf8(first).split(QLatin1Char(','));
    const QStringList ours = recordColumns();
    if (names.size() < FirstReleaseColumns || names != ours.mid(0, names.size()))
        return refuse(QStringLiteral("its first line is not the header of a record (%1)")
                          .arg(QString::fromUtf8(first.left(80))));
    m_columns = names.size();
    // Rows end as the header does: a record kept on Windows stays CRLF.
    if (firstEnd > 0 && contents[firstEnd - 1] == '\r')
        m_lineEnd = "\r\n";
    if (m_columns < ColumnCount)
        *note = QStringLiteral("the record %1 has the columns of an earlier release: its new rows leave out %2")
                    .arg(m_path, ours.mid(m_columns).join(QStringLiteral(", ")));
    // A last line without its line end must not have the next row glued on.
    if (!contents.endsWith('\n') && !writeAll(m_fd, m_lineEnd))
        return refuse(systemError());
    return true;
}

bool RecordFile::append(const QByteArray &line, QString *error)
{
    if (m_fd < 0)
        return true;
    struct stat info;
    if (::fstat(m_fd, &info) == 0 && S_ISREG(info.st_mode) && !sameFile(info, m_path)) {
        // Deleted or moved away during the run: its rows would go to a file
        // nobody finds. The record is at its path, again.
        ::close(m_fd);
        m_fd = -1;
        QString note;
        if (!openAt(error, &note))
            return false;
        if (onNote)
            onNote(QStringLiteral("the record %1 was deleted or moved away during the run: its rows from now on"
                                  " go to a new file at that path")
                       .arg(m_path));
        if (!note.isEmpty() && onNote)
            onNote(note);
    }
    FileLock lock(m_fd);
    if (writeAll(m_fd, line + m_lineEnd) && (!S_ISREG(info.st_mode) || onDisk(m_fd)))
        return true;
    *error = systemError();
    return false;
}

// The record of a flasher run (--record FILE): a CSV line for every widget,
// appended, never rewritten. Its columns are one table, from which the
// header, the rows, the fields of the JSON events and the line's database
// table are made.
#ifndef LUMORA_RECORD_H
#define LUMORA_RECORD_H

#include "linetable.h"
#include "widgetjob.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

// What every line of a run shares.
struct RunFacts
{
    QString imageFile;      // the image's file name, without its directory
    QString imageVersion;   // as the question showed it
    QByteArray imageSha256; // hex, of the bytes sent
    bool emulated = false;
    QString station;        // --station-name, or the host name
    QString toolVersion;    // this program's version
};

// The header line's columns.
QStringList recordColumns();
// Every column, for the documentation: its name in the record, in the JSON
// events (null: not there), whether the start event has it, what it holds.
struct RecordColumnDoc
{
    const char *name;
    const char *json;
    bool atStart;
    const char *meaning;
};
QVector<RecordColumnDoc> recordColumnDocs();
// The line's table of these columns: its key attempt_id, its time
// utc_time, its serial serial.
LineTable recordLineTable();
// A widget's row of the line's table: every column's value, typed (text,
// numbers, true/false), null where nothing is known.
QJsonObject recordRow(const WidgetRun &run, const RunFacts &facts);
// A widget's fields for JSON events: those known before its update for a
// start event, all of them for a result.
QJsonObject jsonFields(const WidgetRun &run, const RunFacts &facts, bool atStart = false);
// A widget's CSV line, without its line end, of the first `columns` columns.
QByteArray recordLine(const WidgetRun &run, const RunFacts &facts, int columns);
// A cell as a spreadsheet takes it as text: quoted when it holds a comma,
// a quote or a line break, and with a leading ' when it begins with a
// character that would make it a formula (= + - @, tab, carriage return).
QString csvCell(QString text);

class RecordFile
{
public:
    RecordFile() = default;
    ~RecordFile();
    RecordFile(const RecordFile &) = delete;
    RecordFile &operator=(const RecordFile &) = delete;

    // Opens `path` for appending. A new or empty file gets the header; an
    // existing one must have the same columns, or those of an earlier
    // release as a prefix (rows then keep to its columns, and `note` says
    // so); anything else is refused. The file may not be one the run reads
    // (`readFiles`). False, with the reason in `error`, when refused.
    bool open(const QString &path, const QStringList &readFiles, QString *error, QString *note);
    bool isOpen() const { return m_fd >= 0; }
    // The columns each row keeps to.
    int columns() const { return m_columns; }
    // Appends one row with the file's own line end, and has it on the disk
    // before it returns; false, with the reason, when it was not written
    // whole. A record whose path no longer leads to the file opened (deleted
    // or moved away) is opened again at its path first, and `onNote` told.
    bool append(const QByteArray &line, QString *error);
    std::function<void(const QString &)> onNote;

private:
    bool openAt(QString *error, QString *note);

    int m_fd = -1;
    int m_columns = 0;
    QByteArray m_lineEnd = "\n";
    QString m_path;
    QStringList m_readFiles;
};

#endif

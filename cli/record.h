// The record of a flasher run (--record FILE): a CSV line for every widget,
// appended, never rewritten. Its columns are one table, from which the
// header, the rows and the fields of the JSON result events are made.
#ifndef LUMORA_RECORD_H
#define LUMORA_RECORD_H

#include "widgetjob.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

// What every line of a run shares.
struct RunFacts
{
    QString imageFile;      // the image's file name, without its directory
    QString imageVersion;   // as the question showed it
    QByteArray imageSha256; // hex, of the bytes sent
    bool emulated = false;
};

// The header line's columns.
QStringList recordColumns();
// A widget's fields for JSON events (those columns that have a JSON name).
QJsonObject jsonFields(const WidgetRun &run, const RunFacts &facts);
// A widget's CSV line, without its newline, of the first `columns` columns.
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
    // Appends one line (a newline is added); false, with the reason, when
    // it was not written whole.
    bool append(const QByteArray &line, QString *error);

private:
    int m_fd = -1;
    int m_columns = 0;
    QString m_path;
};

#endif

// What the flasher tells, as one stream of events with three writers: for
// people (progress, results and the table, on standard error and output),
// for programs (JSON events on standard output, with --json), and the
// record (--record). Every function may be called from the widgets'
// threads; none waits for a reader (see output.h).
#ifndef LUMORA_REPORTER_H
#define LUMORA_REPORTER_H

#include "linerecorder.h"
#include "record.h"
#include "widgetjob.h"

#include <QVector>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

enum class RunMode { List, Info, OneWidget, AllWidgets, Station, Sync, History };

struct ReportEvent
{
    enum Type { Board, Device, Start, Progress, Result, Note, Warning, Error, Summary, LineRecord, Attempt, End };
    explicit ReportEvent(Type t) : type(t) {}
    Type type;
    WidgetRun run;            // Start, Progress, Result
    int pagesSent = 0;        // Progress
    QString text;             // Device (description), Note, Warning, Error, LineRecord; End: for
                              // people, how many rows wait in the spool
    QJsonObject fields;       // LineRecord: state, address, reason; Attempt: a row of the line's table
    QString serial;           // Device
    int index = 0;            // Device
    QVector<WidgetRun> runs;  // Board, Summary
    int exitCode = 0;         // Summary, End
    int widgets = 0;          // End
    int succeeded = -1;       // End; -1: not a run that updates
    std::optional<int> recordsPending; // End, with --record-db: rows in the spool; -1: unknown
};

// The JSON events, for the documentation: each event's name, when it comes
// and its fields.
struct JsonEventDoc
{
    QString name;
    QString when;
    QString fields;
};
QVector<JsonEventDoc> jsonEventDocs();

class ReportWriter
{
public:
    virtual ~ReportWriter() = default;
    virtual void write(const ReportEvent &event) = 0;
};

class Reporter
{
public:
    Reporter(RunMode mode, bool json);
    ~Reporter();

    // Starts the writer thread; `record` takes the record's lines and
    // `lineRecorder` their rows once useRecord() was called.
    void start(RecordFile *record, LineRecorder *lineRecorder);
    // What every line of the record and every JSON event of a widget shares.
    void setFacts(const RunFacts &facts) { m_facts = facts; }
    // From now on every result is a line of the record (of its first
    // `columns` columns; none: no line), and with `rows` a row of the line's
    // table too.
    void useRecord(int columns, bool rows);

    // --all on a terminal: one line per widget, rewritten in place, when the
    // terminal has room for them all.
    void showBoard(const QVector<WidgetRun> &runs);

    void device(int index, const QString &description, const QString &serial);
    void opened(const WidgetRun &run);
    void pageSent(const WidgetRun &run, int pagesSent);
    void finished(const WidgetRun &run);
    // A line for people on standard error.
    void note(const QString &text);
    // Something to know in a run that goes on: on standard error and, with
    // --json, as a warning event.
    void warning(const QString &text);
    // What ends the run early, or went wrong: on standard error and, with
    // --json, as an error event.
    void error(const QString &text);
    // The table of every widget of the run.
    void summary(const QVector<WidgetRun> &runs, int widgets, int succeeded);
    // What the line's database does (at `address`, as it may be shown): on
    // standard error and, with --json, as a record_db event.
    void lineRecord(const LineRecorderEvent &event, const QString &address);
    // A row of the line's table, for --history.
    void attempt(const QJsonObject &row);
    // The last event of every run; then waits until all is written, or
    // until `giveUp` says to stop waiting. With --record-db, `pending` says
    // how many rows wait in the spool (-1: unknown) and `pendingText` so
    // for people.
    void end(int exitCode, int widgets, int succeeded, const std::function<bool()> &giveUp,
             std::optional<int> pending = {}, const QString &pendingText = {});

private:
    void publish(const ReportEvent &event);

    std::mutex m_lock; // events reach the writers one at a time
    std::vector<std::unique_ptr<ReportWriter>> m_writers;
    RunFacts m_facts;
};

#endif

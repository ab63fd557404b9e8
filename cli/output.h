// Everything the flasher writes goes through one writer thread: widget
// threads hand it lines and never wait for a reader, so a slow or stopped
// reader of standard output or error delays only the output, never the
// flashing, and the main thread always hears signals.
//
// At most QueueLimit items wait. Beyond that, progress lines and redraws of
// the board are dropped (the next one says where a widget is); every other
// line (results, errors, the record, JSON events) is always kept.
#ifndef LUMORA_OUTPUT_H
#define LUMORA_OUTPUT_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>

class LineRecorder;
class RecordFile;

namespace output {

constexpr int QueueLimit = 4096;

enum class Channel { Out, Err, Record };
enum class Kind {
    Line,     // written with a newline
    Progress, // standard error on a terminal: rewritten in place
    Board,    // standard error on a terminal: the lines of every widget, redrawn
};

// Starts the writer. `record` (may be null) takes the Record lines and
// `lineRecorder` (may be null) their rows, the spool first; `recordFailed`
// is called once, on the writer thread, with what could not be written and
// why ("the record: No space left on device").
void start(RecordFile *record, LineRecorder *lineRecorder, std::function<void(const QString &)> recordFailed);
void post(Channel channel, const QString &text, Kind kind = Kind::Line);
// A widget's line of the record and its row of the line's table.
void postRecord(const QByteArray &line, const QJsonObject &row);
void postBoard(const QStringList &lines);
// Waits until everything posted so far is written (at once without a
// writer), or until `giveUp` says to stop waiting (asked every 100 ms): a
// reader that stopped reading must not keep a process that was told to end.
void drain(const std::function<bool()> &giveUp = {});

// Call first in main(): a standard stream the process was started without
// (closed, as by `>&-`) is put back as the null device, so that no file
// opened later takes its number and gets lines meant for it. Output to a
// standard output that was closed counts as lost, as for a reader that went
// away.
void guardStandardStreams();
bool stdoutFailed();
bool recordFailed();

// The flasher's own report lines on standard error ("lumora-flash: ...").
void printError(const QString &text);

// The flasher's message handler: warnings of the program reach standard
// error always, every log line (Qt's own too) with --verbose; a line logged
// for a widget of a run of several starts with its serial string.
void installMessageHandler(bool verbose);
void setLogTag(const QString &tag);

} // namespace output

#endif

// What the flasher tells: progress and results for people (standard error,
// and the summary on standard output), JSON events for programs (standard
// output, with --json), and the record of every widget updated (--record).
// Every function may be called from the widgets' threads.
#ifndef LUMORA_REPORTER_H
#define LUMORA_REPORTER_H

#include "widgetjob.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QVector>

class Reporter
{
public:
    enum class Mode { OneWidget, AllWidgets, Station };

    struct Options
    {
        Mode mode = Mode::OneWidget;
        bool json = false;
        QString recordPath;
        QString imagePath;
        QString imageVersion;
        QByteArray imageSha256; // hex
    };

    explicit Reporter(const Options &options);

    // Opens the record for appending (a header when the file is new);
    // false, with the reason on standard error, when it cannot be written.
    bool openRecord();
    // True once a result could not be written (standard output or record).
    bool outputFailed() const { return m_outputFailed; }

    // --all on a terminal: one line per widget, rewritten in place.
    void showBoard(const QVector<WidgetRun> &runs);

    void opened(const WidgetRun &run);
    void pageSent(const WidgetRun &run, int pagesSent, int pageCount);
    void finished(const WidgetRun &run);
    // The table of every widget of the run, then the final JSON event.
    void summary(const QVector<WidgetRun> &runs, int exitCode);

    // For --list --json.
    void device(int index, const QString &description, const QString &serial);
    void end(int widgets, int exitCode);

private:
    void json(const QJsonObject &event);
    void recordLine(const WidgetRun &run);
    // `always`: also when the last redraw was a moment ago.
    void drawBoard(bool always);
    void writeLine(std::FILE *stream, const QString &line);

    Options m_options;
    QFile m_record;
    bool m_outputFailed = false;
    bool m_terminal = false;
    QVector<QString> m_board;  // the lines of --all on a terminal
    QElapsedTimer m_boardDrawn; // a redraw at most every tenth of a second
    QMap<int, int> m_lastTenth; // by widget index: the tenth of its pages reached
};

// The flasher's message handler: warnings and failures always reach standard
// error, every log line with --verbose; a line logged for a widget of a run
// of several starts with its serial string.
void installFlasherMessageHandler(bool verbose);
void setLogTag(const QString &tag);
// Report lines written by the flasher itself ("lumora-flash: ...").
void printError(const QString &text);

#endif

// How a flasher run ends: the outcome of each widget, and the exit codes,
// each fact written once in a table from which the help text, the JSON
// names, the words and the order of severity are made.
#ifndef LUMORA_OUTCOME_H
#define LUMORA_OUTCOME_H

#include "firmwareupdate.h"

#include <QString>
#include <QPair>
#include <QStringList>
#include <QVector>

enum ExitCode {
    ExitDone = 0,
    ExitFailed = 1,
    ExitUsage = 2,
    ExitNoSuchDevice = 3,
    ExitOpenFailed = 4,
    ExitBadFile = 5,
    ExitPagesRefused = 6,
    ExitNotConfirmed = 7,
    ExitInterrupted = 8,
    ExitWidgetLost = 9,
    ExitOutputFailed = 10,
    ExitNotVerified = 11,
};

enum class WidgetResult {
    Done, NotStarted, Interrupted, NotChosen, OpenFailed, PagesRefused, StoppedAnswering, WidgetLost, NotVerified
};

// "done", "pages_refused" and so on: the outcome as JSON and the record name it.
const char *outcomeName(WidgetResult result);
// "done", "pages refused" and so on: the outcome for people.
QString outcomeText(WidgetResult result);
int exitCode(WidgetResult result);

// How a widget ends whose update procedure ended so.
WidgetResult resultOfUpdate(FirmwareUpdate::Outcome outcome);
// What the outcome means, for the documentation.
QString outcomeMeaning(WidgetResult result);
QVector<WidgetResult> allOutcomes();

// How a run of widgets ended: its exit code, and the count of widgets (not
// attempts).
struct Tally
{
    int code = 0;
    int widgets = 0;
    int succeeded = 0;
};
// The tally of the widgets whose last attempts ended so. Widgets held back
// because the record could not be written (not started) are told by exit 10
// alone.
Tally tallyOf(const QVector<WidgetResult> &lastResults, bool recordFailed, bool stdoutFailed);

// Of two exit codes of a run of several widgets, the one that tells of the
// worse outcome.
int worseExitCode(int a, int b);
// The exit codes and their meanings, for --help.
QString exitCodeHelp();
// The codes a run of several widgets may end with, the worst first.
QStringList severityOrder();
// Every exit code with its meaning on one line, for the documentation.
QVector<QPair<int, QString>> exitCodeMeanings();

#endif

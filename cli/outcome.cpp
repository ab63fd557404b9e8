#include "outcome.h"

#include <QStringList>

#include <algorithm>
#include <iterator>

namespace {

struct ExitCodeRow
{
    int code;
    int severity; // of two codes in one run, the higher tells of the worse
    const char *meaning;
};

// Codes that end a run before any widget is updated: never one of several.
constexpr int BeforeAnyWidget = 100;

const ExitCodeRow ExitCodes[] = {
    {ExitDone, 0, "done: every page accepted by every widget, which then reported the image's version after its"
                  " restart (or the list, the information or the history printed, or the spool delivered)"},
    {ExitFailed, BeforeAnyWidget, "the device list could not be read"},
    {ExitUsage, BeforeAnyWidget, "bad usage, a malformed LUMORA_EMULATOR* variable among it"},
    {ExitNoSuchDevice, 3, "no such device: none attached, index out of range, not exactly one widget matches, or the"
                          " list entry is now another widget"},
    {ExitOpenFailed, 4, "a widget could not be opened, or opened and did not answer (why is on standard error)"},
    {ExitBadFile, BeforeAnyWidget, "the image file is unreadable or refused (not a regular file, no whole page, more"
                                   " than 65535 pages)"},
    {ExitPagesRefused, 5, "a widget refused pages, or did not answer them in time; the count and the first pages"
                          " (from 1) are on standard error"},
    {ExitNotConfirmed, BeforeAnyWidget, "not confirmed: answered no, a signal at the question, or no terminal and no"
                                        " --yes"},
    {ExitInterrupted, 2, "stopped by SIGINT, SIGTERM or SIGHUP: before the loader request (nothing was sent, the"
                         " widget is unchanged), or after the page in flight (the widget is left in its loader: run"
                         " the update again)"},
    {ExitWidgetLost, 7, "a widget was lost during its update: unplugged, or it stopped answering (8 pages in a row"
                        " without a reply)"},
    {ExitOutputFailed, 1, "standard output, the record or the spool could not be written, the line's database has a"
                          " table of another shape, or --sync left rows in the spool (--history: the database could"
                          " not be read)"},
    {ExitNotVerified, 6, "a widget took every page but, asked again after its restart, reported another version than"
                         " the image's, or did not answer"},
};

using Update = FirmwareUpdate::Outcome;

constexpr unsigned from(Update outcome)
{
    return 1u << unsigned(outcome);
}

struct OutcomeRow
{
    WidgetResult result;
    const char *name;
    ExitCode code;
    unsigned fromUpdate; // the update procedure's outcomes that end a widget so
    const char *meaning;
};

const OutcomeRow Outcomes[] = {
    {WidgetResult::Done, "done", ExitDone, from(Update::Done),
     "every page accepted and, unless --no-verify, the widget reports the image's version after its restart"},
    {WidgetResult::NotStarted, "not_started", ExitInterrupted, from(Update::NotStarted),
     "stopped before the loader request, or a twin that never had its turn: nothing was sent"},
    {WidgetResult::Interrupted, "interrupted", ExitInterrupted, from(Update::Interrupted),
     "stopped by a signal after the page in flight: the widget is left in its loader"},
    {WidgetResult::NotChosen, "replaced", ExitNoSuchDevice, 0,
     "the list entry is now another widget: it reported a different serial"},
    {WidgetResult::OpenFailed, "open_failed", ExitOpenFailed, from(Update::ImageRefused),
     "the widget could not be opened, or opened and did not answer"},
    {WidgetResult::PagesRefused, "pages_refused", ExitPagesRefused, from(Update::PagesRefused),
     "the widget refused pages, or did not answer them in time"},
    {WidgetResult::StoppedAnswering, "stopped_answering", ExitWidgetLost, from(Update::StoppedAnswering),
     "8 pages in a row without a reply"},
    {WidgetResult::WidgetLost, "widget_lost", ExitWidgetLost, from(Update::DeviceLost) | from(Update::NoDevice),
     "the widget was unplugged during its update"},
    {WidgetResult::NotVerified, "not_verified", ExitNotVerified, 0,
     "every page accepted, but after its restart the widget reports another version, or does not answer"},
};

const OutcomeRow &row(WidgetResult result)
{
    return *std::find_if(std::begin(Outcomes), std::end(Outcomes),
                         [&](const OutcomeRow &r) { return r.result == result; });
}

int severity(int code)
{
    for (const ExitCodeRow &r : ExitCodes)
        if (r.code == code)
            return r.severity;
    return BeforeAnyWidget;
}

} // namespace

const char *outcomeName(WidgetResult result)
{
    return row(result).name;
}

QString outcomeText(WidgetResult result)
{
    return QString::fromLatin1(outcomeName(result)).replace(QLatin1Char('_'), QLatin1Char(' '));
}

int exitCode(WidgetResult result)
{
    return row(result).code;
}

WidgetResult resultOfUpdate(FirmwareUpdate::Outcome outcome)
{
    for (const OutcomeRow &r : Outcomes)
        if (r.fromUpdate & from(outcome))
            return r.result;
    return WidgetResult::OpenFailed;
}

QString outcomeMeaning(WidgetResult result)
{
    return QLatin1String(row(result).meaning);
}

QVector<WidgetResult> allOutcomes()
{
    QVector<WidgetResult> all;
    for (const OutcomeRow &r : Outcomes)
        all << r.result;
    return all;
}

Tally tallyOf(const QVector<WidgetResult> &lastResults, bool recordFailed, bool stdoutFailed)
{
    Tally tally;
    tally.code = ExitDone;
    tally.widgets = lastResults.size();
    for (WidgetResult result : lastResults) {
        tally.succeeded += exitCode(result) == ExitDone;
        if (!(recordFailed && result == WidgetResult::NotStarted))
            tally.code = worseExitCode(tally.code, exitCode(result));
    }
    if (recordFailed || stdoutFailed)
        tally.code = worseExitCode(tally.code, ExitOutputFailed);
    return tally;
}

int worseExitCode(int a, int b)
{
    const int sa = severity(a), sb = severity(b);
    return sa != sb ? (sa > sb ? a : b) : qMax(a, b);
}

QStringList severityOrder()
{
    QVector<const ExitCodeRow *> ranked;
    for (const ExitCodeRow &r : ExitCodes)
        if (r.severity < BeforeAnyWidget)
            ranked << &r;
    std::sort(ranked.begin(), ranked.end(), [](auto *a, auto *b) { return a->severity > b->severity; });
    QStringList order;
    for (const ExitCodeRow *r : ranked)
        order << QString::number(r->code);
    return order;
}

QVector<QPair<int, QString>> exitCodeMeanings()
{
    QVector<QPair<int, QString>> meanings;
    for (const ExitCodeRow &r : ExitCodes)
        meanings << qMakePair(r.code, QString::fromLatin1(r.meaning));
    return meanings;
}

QString exitCodeHelp()
{
    // Each meaning wrapped at the help's width, under its first line.
    constexpr int Width = 79, Indent = 4;
    QString help = QStringLiteral("Exit codes (of several widgets, the worst: %1):\n")
                       .arg(severityOrder().join(QStringLiteral(", ")));
    for (const ExitCodeRow &r : ExitCodes) {
        QString line = QStringLiteral("%1 ").arg(r.code, 2);
        for (const QString &word : QString::fromLatin1(r.meaning).split(QLatin1Char(' '))) {
            if (line.size() + 1 + word.size() > Width) {
                help += line + QLatin1Char('\n');
                line = QString(Indent - 1, QLatin1Char(' '));
            }
            line += QLatin1Char(' ') + word;
        }
        help += line + QLatin1Char('\n');
    }
    return help;
}

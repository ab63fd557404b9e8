// The line's record in a flasher run (--record-db): the recorder started
// before any widget is touched, what it meets reported, and the rows that
// still wait in the spool told at the end; and the runs that only talk to
// the line's database, --sync and --history.
#ifndef LUMORA_LINERECORDING_H
#define LUMORA_LINERECORDING_H

#include "linerecorder.h"
#include "options.h"
#include "outcome.h"
#include "reporter.h"

#include <mutex>
#include <optional>

class LineRecording
{
public:
    // How long the end of a run waits for its rows to reach the line's
    // database; --sync, which is there for that, waits longer.
    static constexpr int EndWaitMs = 5000;
    static constexpr int SyncWaitMs = 120000;

    LineRecording(const FlashOptions &options, Reporter &reporter);
    LineRecorder *recorder() { return &m_recorder; }

    // Before any widget is touched: ExitDone when the rows can be taken (a
    // server that cannot be reached included: they are spooled); else,
    // after saying why, the exit code.
    int start();
    // At the end of a run that started: waits for the rows to reach the
    // line's database (until `giveUp` says to stop waiting), stops the
    // recorder, and gives how many wait in the spool (-1: unknown) and, when
    // any do, a line for people. The run's exit code, made 10 for a --sync
    // that leaves rows.
    int finish(int exitCode, const std::function<bool()> &giveUp, std::optional<int> *pending,
               QString *pendingText);

private:
    void onEvent(const LineRecorderEvent &event);
    QString syncCommand() const;

    const FlashOptions &m_options;
    Reporter &m_reporter;
    const QString m_spoolPath;
    LineRecorder m_recorder;
    bool m_started = false;

    std::mutex m_lock; // guards what the recorder's events tell
    bool m_away = false;
    int m_refused = 0;
};

// --history: the attempts in the line's database, newest first.
Tally historyMode(const FlashOptions &options, Reporter &reporter);

#endif

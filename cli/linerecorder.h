// The line's record of one flasher process: every row is committed to the
// spool on the caller's thread, and one recorder thread, which owns the
// connection to the line's database, delivers every unsent row of the spool
// (of earlier runs and of other processes sharing it too), oldest first, in
// batches of one transaction each, and marks them sent once committed.
//
// A server that is away, or goes away, never holds add() nor the widgets:
// the recorder tries again after each added row and on a back-off of 1 s,
// doubling to 30 s, and says so once per outage.
#ifndef LUMORA_LINERECORDER_H
#define LUMORA_LINERECORDER_H

#include "linedatabase.h"
#include "spool.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

struct LineRecorderEvent
{
    enum Kind {
        ServerAway, // once per outage: rows cannot be delivered
        ServerBack, // rows are delivered again
        RowRefused, // the server refused a row's values; the row stays in the spool
    } kind;
    QString text;   // a line for standard error: what, why, where the rows wait
    QString reason; // the server's or libpq's words alone, passwords masked
};

class LineRecorder
{
public:
    // Called on the recorder's thread, or in start() on its caller's; it
    // must not call sync().
    using EventHandler = std::function<void(const LineRecorderEvent &)>;
    static constexpr int BatchRows = 500;

    LineRecorder(const LineTable &table, EventHandler onEvent) : m_table(table), m_onEvent(std::move(onEvent)) {}
    ~LineRecorder() { stop(); }
    LineRecorder(const LineRecorder &) = delete;
    LineRecorder &operator=(const LineRecorder &) = delete;

    enum class Start { Ready, BadAddress, SpoolFailed, TableRefused };
    // For before any widget is touched: checks the address, opens the
    // spool, connects once (within the connect timeout) to create or check
    // the table, then starts the recorder, which delivers what the spool
    // holds. A server that cannot be reached is no failure: a ServerAway
    // event says so. Else the reason is in `error`: BadAddress is bad usage;
    // SpoolFailed and TableRefused mean no widget may be touched.
    Start start(const QString &address, const QString &spoolPath, QString *error);

    // The address as it may be shown: its passwords masked.
    QString shownAddress() const;
    QString spoolPath() const { return m_spoolPath; }

    // From any thread until stop(). Commits `row` to the spool and wakes the recorder;
    // when it returns true the row is on the disk. False, with the reason,
    // when the spool cannot take it: no new widget may be started.
    bool add(const QJsonObject &row, QString *error);
    // From any thread until stop(). Delivers every unsent row, waiting at most `waitMs`
    // for it (less when the server cannot be reached, or once `giveUp`,
    // asked every 100 ms, says so); returns the rows that still wait, -1
    // when the spool cannot be read: every row of the spool, or with
    // `ownRows` only those this recorder added (a spool that other flashers
    // share holds theirs too, which they deliver themselves).
    int sync(int waitMs, const std::function<bool()> &giveUp = {}, bool ownRows = false);
    // Stops the recorder within a moment, wherever it waits.
    void stop();

private:
    using Clock = std::chrono::steady_clock;
    void run();
    bool deliver(); // one pass over the spool
    bool away(const QString &why);
    void report(LineRecorderEvent::Kind kind, const QString &text, const QString &reason);

    const LineTable m_table;
    const EventHandler m_onEvent;
    QString m_address;
    QString m_spoolPath;
    Spool m_spool;
    std::atomic<bool> m_stopping{false};
    LineDatabase m_database{&m_stopping};
    std::thread m_thread;

    std::mutex m_lock; // guards what follows, up to the recorder's own
    std::condition_variable m_changed;
    bool m_wake = false;
    quint64 m_passesStarted = 0;
    quint64 m_passesDone = 0;

    // The recorder's own (start()'s before it runs).
    bool m_away = false;
    Clock::time_point m_retryAt = Clock::time_point::max();
    QSet<qint64> m_refused; // in this process; tried again by the next
    QSet<QString> m_added;  // the keys of the rows this process added
};

#endif

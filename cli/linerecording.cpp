#include "linerecording.h"
#include "conninfo.h"
#include "linedatabase.h"

#include <QRegularExpression>
#include <QSet>

namespace {

// A word as the shell reads it back: in single quotes unless it needs none.
QString shellWord(const QString &word)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9@%+=:,./_-]+$"));
    if (plain.match(word).hasMatch())
        return word;
    return QLatin1Char('\'') + QString(word).replace(QLatin1Char('\''), QStringLiteral("'\\''")) + QLatin1Char('\'');
}

// "1 record row waits", "2 record rows wait".
QString rowsWait(int rows)
{
    return rows == 1 ? QStringLiteral("1 record row waits") : QStringLiteral("%1 record rows wait").arg(rows);
}

} // namespace

LineRecording::LineRecording(const FlashOptions &options, Reporter &reporter)
    : m_options(options), m_reporter(reporter),
      m_spoolPath(options.spoolPath.isEmpty() ? Spool::defaultPath() : options.spoolPath),
      m_recorder(recordLineTable(), [this](const LineRecorderEvent &event) { onEvent(event); })
{
}

void LineRecording::onEvent(const LineRecorderEvent &event)
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (event.kind == LineRecorderEvent::RowRefused)
            ++m_refused;
        else
            m_away = event.kind == LineRecorderEvent::ServerAway;
    }
    m_reporter.lineRecord(event, maskedAddress(m_options.recordDb));
}

int LineRecording::start()
{
    QString error;
    switch (m_recorder.start(m_options.recordDb, m_spoolPath, &error)) {
    case LineRecorder::Start::Ready: m_started = true; return ExitDone;
    case LineRecorder::Start::BadAddress:
        m_reporter.error(QStringLiteral("--record-db %1: %2").arg(maskedAddress(m_options.recordDb), error));
        return ExitUsage;
    case LineRecorder::Start::SpoolFailed:
        m_reporter.error(QStringLiteral("cannot write the spool %1: %2; nothing was flashed")
                             .arg(printablePath(m_spoolPath), error));
        return ExitOutputFailed;
    case LineRecorder::Start::TableRefused: break;
    }
    m_reporter.error(QStringLiteral("the line's database %1 cannot take the rows: %2; nothing was flashed")
                         .arg(maskedAddress(m_options.recordDb), error));
    return ExitOutputFailed;
}

QString LineRecording::syncCommand() const
{
    QString command = QStringLiteral("lumora-flash --record-db ") + shellWord(maskedAddress(m_options.recordDb));
    if (!m_options.spoolPath.isEmpty())
        command += QStringLiteral(" --spool ") + shellWord(printablePath(m_options.spoolPath));
    return command + QStringLiteral(" --sync");
}

int LineRecording::finish(int exitCode, const std::function<bool()> &giveUp, std::optional<int> *pending,
                          QString *pendingText)
{
    if (!m_started)
        return exitCode;
    const bool syncing = m_options.mode == RunMode::Sync;
    // A run's end counts its own rows: others that share the spool deliver
    // theirs. --sync is there for every row of it.
    const int left = m_recorder.sync(syncing ? SyncWaitMs : EndWaitMs, giveUp, !syncing);
    m_recorder.stop();
    *pending = left;
    const QString spool = printablePath(m_spoolPath), address = maskedAddress(m_options.recordDb);
    if (left < 0) {
        *pendingText = QStringLiteral("the spool %1 cannot be read: how many rows wait in it is not known").arg(spool);
        return syncing ? worseExitCode(exitCode, ExitOutputFailed) : exitCode;
    }
    if (!syncing) {
        if (left > 0)
            *pendingText = QStringLiteral("%1 in the spool %2 for the line's database; %3 delivers them (so does"
                                          " the next run)")
                               .arg(rowsWait(left), spool, syncCommand());
        return exitCode;
    }
    std::lock_guard<std::mutex> hold(m_lock);
    if (left == 0) {
        // Rows marked sent went to the database of their run, which may not
        // be this one: only what waits is known.
        m_reporter.note(m_away ? QStringLiteral("no record row waits in the spool %1; the line's database %2 was not"
                                                " reached (see above)").arg(spool, address)
                               : QStringLiteral("no record row waits in the spool %1: the line's database %2 has"
                                                " every row it was sent").arg(spool, address));
        return exitCode;
    }
    const QString why = m_away
                            ? QStringLiteral("the line's database %1 cannot be reached (see above); run --sync again"
                                             " once it can").arg(address)
                        : m_refused > 0 ? QStringLiteral("the line's database %1 refused %2 of them (see above)")
                                              .arg(address).arg(m_refused)
                        : giveUp() ? QStringLiteral("stopped by a signal; run --sync again")
                                        : QStringLiteral("the line's database %1 did not take them within %2 s; run"
                                                         " --sync again").arg(address).arg(SyncWaitMs / 1000);
    m_reporter.error(QStringLiteral("%1 in the spool %2: %3").arg(rowsWait(left), spool, why));
    return worseExitCode(exitCode, ExitOutputFailed);
}

Tally historyMode(const FlashOptions &options, Reporter &reporter)
{
    LineDatabase database;
    QVector<QJsonObject> rows;
    QString error;
    const QString address = maskedAddress(options.recordDb);
    if (!database.connect(options.recordDb, &error)
        || !database.history(recordLineTable(), options.historySerial, 0, &rows, &error)) {
        reporter.error(QStringLiteral("cannot read the line's database %1: %2").arg(address, error));
        return {ExitOutputFailed, 0, -1};
    }
    QSet<QString> widgets;
    for (const QJsonObject &row : qAsConst(rows)) {
        reporter.attempt(row);
        widgets << row.value("serial").toString();
    }
    if (rows.isEmpty())
        reporter.note(options.historySerial.isNull()
                          ? QStringLiteral("no attempts in the line's database %1").arg(address)
                          : QStringLiteral("no attempts of %1 in the line's database %2")
                                .arg(options.historySerial, address));
    return {ExitDone, int(widgets.size()), -1};
}

#include "linerecorder.h"
#include "conninfo.h"

namespace {

constexpr std::chrono::milliseconds FirstBackOff(1000);
constexpr std::chrono::milliseconds LastBackOff(30000);

} // namespace

LineRecorder::Start LineRecorder::start(const QString &address, const QString &spoolPath, QString *error)
{
    m_address = address;
    m_spoolPath = spoolPath;
    *error = addressProblem(address);
    if (!error->isEmpty())
        return Start::BadAddress;
    if (!m_spool.open(spoolPath, m_table, error))
        return Start::SpoolFailed;
    QString why;
    if (!m_database.connect(address, &why)) {
        away(why);
    } else {
        switch (m_database.prepareTable(m_table, &why)) {
        case LineDatabase::Readiness::Ready: break;
        case LineDatabase::Readiness::Refused: *error = why; return Start::TableRefused;
        case LineDatabase::Readiness::Failed: away(why); break;
        }
    }
    m_wake = !m_away;
    m_retryAt = m_away ? Clock::now() + FirstBackOff : Clock::time_point::max();
    m_thread = std::thread([this] { run(); });
    return Start::Ready;
}

QString LineRecorder::shownAddress() const
{
    return maskedAddress(m_address);
}

bool LineRecorder::add(const QJsonObject &row, QString *error)
{
    if (!m_spool.add(row, error))
        return false;
    std::lock_guard<std::mutex> hold(m_lock);
    m_added.insert(row.value(m_table.keyColumn).toString());
    m_wake = true;
    m_changed.notify_all();
    return true;
}

int LineRecorder::sync(int waitMs, const std::function<bool()> &giveUp, bool ownRows)
{
    {
        std::unique_lock<std::mutex> lock(m_lock);
        if (m_thread.joinable()) {
            // A pass that has already begun may have missed rows added since.
            const quint64 wanted = m_passesStarted + 1;
            m_wake = true;
            m_changed.notify_all();
            const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
            while (m_passesDone < wanted && Clock::now() < deadline && !(giveUp && giveUp()))
                m_changed.wait_until(lock, qMin(deadline, Clock::now() + std::chrono::milliseconds(100)));
        }
    }
    QString error;
    if (!ownRows)
        return m_spool.pendingCount(&error);
    const QSet<QString> added = [this] {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_added;
    }();
    return m_spool.pendingCount(&error, &added);
}

void LineRecorder::stop()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_stopping = true;
        m_changed.notify_all();
    }
    if (m_thread.joinable())
        m_thread.join();
}

void LineRecorder::run()
{
    auto backOff = FirstBackOff;
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        const auto due = [&] { return m_wake || m_stopping; };
        if (m_retryAt == Clock::time_point::max())
            m_changed.wait(lock, due);
        else
            m_changed.wait_until(lock, m_retryAt, due);
        if (m_stopping)
            return;
        if (!m_wake && Clock::now() < m_retryAt)
            continue;
        m_wake = false;
        const quint64 pass = ++m_passesStarted;
        lock.unlock();
        const bool delivered = deliver();
        lock.lock();
        m_passesDone = pass;
        m_changed.notify_all();
        m_retryAt = delivered ? Clock::time_point::max() : Clock::now() + backOff;
        backOff = delivered ? FirstBackOff : qMin(2 * backOff, LastBackOff);
    }
}

bool LineRecorder::deliver()
{
    QString why;
    if (!m_database.isConnected()) {
        if (!m_database.connect(m_address, &why))
            return away(why);
        if (m_database.prepareTable(m_table, &why) != LineDatabase::Readiness::Ready) {
            m_database.disconnect();
            return away(why);
        }
    }
    for (;;) {
        QVector<Spool::Entry> entries;
        if (!m_spool.unsent(BatchRows, m_refused, &entries, &why))
            return away(QStringLiteral("the spool cannot be read: %1").arg(why));
        if (entries.isEmpty())
            break;
        QVector<QJsonObject> rows;
        QVector<qint64> ids;
        for (const Spool::Entry &entry : entries) {
            rows << entry.row;
            ids << entry.id;
        }
        const LineDatabase::Insert inserted = m_database.insert(m_table, rows, &why);
        if (inserted == LineDatabase::Insert::Failed)
            return away(why);
        if (inserted == LineDatabase::Insert::Done) {
            if (!m_spool.markSent(ids, &why))
                return away(QStringLiteral("the spool cannot be written: %1").arg(why));
            continue;
        }
        // One row spoils its batch: the others go in one by one.
        for (const Spool::Entry &entry : entries) {
            const LineDatabase::Insert one = m_database.insert(m_table, {entry.row}, &why);
            if (one == LineDatabase::Insert::Failed)
                return away(why);
            if (one == LineDatabase::Insert::RowRefused) {
                m_refused << entry.id;
                report(LineRecorderEvent::RowRefused,
                       QStringLiteral("the line's database refused the row of %1 %2: %3; it stays in the spool %4")
                           .arg(m_table.keyColumn, entry.row.value(m_table.keyColumn).toString(), why, m_spoolPath),
                       why);
            } else if (!m_spool.markSent({entry.id}, &why)) {
                return away(QStringLiteral("the spool cannot be written: %1").arg(why));
            }
        }
    }
    if (m_away) {
        m_away = false;
        report(LineRecorderEvent::ServerBack,
               QStringLiteral("the line's database %1 takes rows again").arg(shownAddress()), {});
    }
    return true;
}

bool LineRecorder::away(const QString &why)
{
    if (!m_away) {
        m_away = true;
        report(LineRecorderEvent::ServerAway,
               QStringLiteral("the line's database %1 takes no rows: %2; they wait in the spool %3 until it does")
                   .arg(shownAddress(), why, m_spoolPath),
               why);
    }
    return false;
}

void LineRecorder::report(LineRecorderEvent::Kind kind, const QString &text, const QString &reason)
{
    if (m_onEvent)
        m_onEvent({kind, text, reason});
}

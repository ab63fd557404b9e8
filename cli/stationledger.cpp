#include "stationledger.h"
#include "bytetext.h"

#include <QSet>

#include <algorithm>
#include <utility>

namespace {

QString twinNote(const QByteArray &serial)
{
    return QStringLiteral("another widget with serial %1 is attached: the two cannot be told apart; this one is"
                          " updated once the other is pulled out")
        .arg(printable(textFromBytes(serial)));
}

} // namespace

int StationLedger::widgetFor(const lumora::DeviceEntry &a)
{
    // Back again, the same widget: the one of its serial that is not here,
    // the one whose attempt still runs or left it in its loader first.
    int found = -1;
    for (int i = 0; i < m_widgets.size(); ++i) {
        const Widget &w = m_widgets[i];
        if (w.serial != a.serial || w.present)
            continue;
        const auto rank = [](const Widget &x) { return std::make_pair(x.inFlight || x.stranded, x.lastAttempt); };
        if (found < 0 || rank(w) > rank(m_widgets[found]))
            found = i;
    }
    if (found >= 0)
        return found;
    Widget w;
    w.serial = a.serial;
    m_widgets << w;
    return m_widgets.size() - 1;
}

WidgetRun StationLedger::attemptFor(const Plugged &p, bool recover)
{
    WidgetRun run(p.attachment, m_attempts.size(), recover);
    run.arrived = true;
    for (int i = 0; i < m_widgets.size(); ++i)
        run.sameSerialAsAnother = run.sameSerialAsAnother || (i != p.widget && m_widgets[i].serial == run.serial);
    return run;
}

QVector<StationLedger::Action> StationLedger::listed(const QVector<lumora::DeviceEntry> &present)
{
    QVector<Action> actions;
    QSet<DWORD> now;
    for (const lumora::DeviceEntry &a : present)
        now.insert(a.location);
    for (auto it = m_present.begin(); it != m_present.end();) {
        if (now.contains(it.key())) {
            ++it;
            continue;
        }
        if (it->widget >= 0)
            m_widgets[it->widget].present = false;
        it = m_present.erase(it);
    }
    m_order.clear();
    for (const lumora::DeviceEntry &a : present) {
        m_order << a.location;
        if (m_present.contains(a.location))
            continue;
        if (a.serial.isEmpty()) {
            m_present.insert(a.location, {a, -1, Plugged::Unreadable, false});
            actions << Action{Decision::Ignore, WidgetRun(),
                              QStringLiteral("a widget without a readable serial number cannot be told apart from"
                                             " others: not updated")};
            continue;
        }
        const int widget = widgetFor(a);
        m_widgets[widget].present = true;
        m_present.insert(a.location, {a, widget, Plugged::Held, false});
    }
    return actions + decide();
}

QVector<StationLedger::Action> StationLedger::decide()
{
    QVector<Action> actions;
    for (DWORD location : qAsConst(m_order)) {
        Plugged &p = m_present[location];
        if (p.state != Plugged::Held)
            continue;
        Widget &w = m_widgets[p.widget];
        const bool twin = std::any_of(m_present.cbegin(), m_present.cend(), [&](const Plugged &other) {
            return other.state == Plugged::Started && other.attachment.serial == p.attachment.serial;
        });
        if (twin) {
            if (!std::exchange(p.twinNoted, true))
                actions << Action{Decision::Hold, WidgetRun(), twinNote(p.attachment.serial)};
            continue;
        }
        if (w.inFlight)
            continue; // pulled out and plugged in again: its last attempt ends first
        const bool recover = m_recoverAll || w.stranded;
        WidgetRun run = attemptFor(p, recover);
        if (w.stranded && !m_recoverAll)
            run.recoveryReason = QStringLiteral("this station left it in its loader when its update was cut off");
        p.state = Plugged::Started;
        w.inFlight = true;
        w.lastAttempt = run.index;
        m_attempts << run;
        m_attemptWidget << p.widget;
        actions << Action{run.recoveryReason.isEmpty() ? Decision::Start : Decision::Recover, run, QString()};
    }
    return actions;
}

void StationLedger::finished(const WidgetRun &run)
{
    if (run.index < 0 || run.index >= m_attempts.size())
        return;
    m_attempts[run.index] = run;
    Widget &w = m_widgets[m_attemptWidget[run.index]];
    if (w.lastAttempt != run.index)
        return;
    w.inFlight = false;
    // In its loader with an incomplete image: it answers nothing but pages
    // until it has been given a whole one.
    w.stranded = run.started && (run.pagesSent < run.pageCount || run.pagesRefused > 0);
}

QVector<WidgetRun> StationLedger::endHeld()
{
    QVector<WidgetRun> runs;
    for (DWORD location : qAsConst(m_order)) {
        Plugged &p = m_present[location];
        if (p.state != Plugged::Held)
            continue;
        WidgetRun run = attemptFor(p, false);
        run.sameSerialAsAnother = run.sameSerialAsAnother || p.twinNoted;
        run.result = WidgetResult::NotStarted;
        run.message = p.twinNoted ? QStringLiteral("not updated: another widget with serial %1 stayed attached")
                                        .arg(run.shownSerial())
                                  : QStringLiteral("not updated: the station stopped before its turn");
        run.finishedAt = QDateTime::currentDateTimeUtc();
        p.state = Plugged::Started;
        m_widgets[p.widget].lastAttempt = run.index;
        m_attempts << run;
        m_attemptWidget << p.widget;
        runs << run;
    }
    return runs;
}

QVector<WidgetRun> StationLedger::attempts() const
{
    return m_attempts;
}

Tally StationLedger::tally(bool recordFailed, bool stdoutFailed) const
{
    QVector<WidgetResult> last;
    for (const Widget &w : m_widgets)
        if (w.lastAttempt >= 0)
            last << m_attempts[w.lastAttempt].result;
    return tallyOf(last, recordFailed, stdoutFailed);
}

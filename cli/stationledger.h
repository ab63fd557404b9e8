// What a station knows of the widgets plugged into it, and what it decides
// for each: which attachment to update, to recover, to hold, or to leave
// alone, and how each widget ended. It has no threads and no USB: the
// station feeds it listings and finished attempts.
//
// An attachment (a device list's entry) is one plug of a widget: pulled out and plugged in again,
// it is a new attachment (a new LocId) of the same widget. Two attachments
// with one serial string present at once are two widgets (twins) that
// cannot be told apart: the second waits until the first leaves. A widget
// counts once, by its last attempt.
#ifndef LUMORA_STATIONLEDGER_H
#define LUMORA_STATIONLEDGER_H

#include "widgetjob.h"

#include <QHash>
#include <QVector>

class StationLedger
{
public:
    enum class Decision {
        Start,   // update it
        Recover, // this station left it in its loader: update it even if it does not answer
        Hold,    // not yet: a twin is being updated, or its own last attempt still runs
        Ignore,  // it cannot be told apart from others (no serial string)
    };
    struct Action
    {
        Decision decision;
        WidgetRun run; // for Start and Recover: the attempt to make
        QString note;  // a warning to give, or empty
    };

    // `recoverAll`: every widget is updated whether or not it answers (--recover).
    explicit StationLedger(bool recoverAll = false) : m_recoverAll(recoverAll) {}

    // A listing of every attachment present now. What to do with each that
    // arrived, and with each held one that may go now, in listing order; an
    // attempt started from now on counts as in flight.
    QVector<Action> listed(const QVector<lumora::DeviceEntry> &present);
    // The held attachments that may go now that an attempt has finished.
    QVector<Action> decide();
    // The attempt of this index ended so.
    void finished(const WidgetRun &run);

    // The station stops: every attachment still held ends not started.
    QVector<WidgetRun> endHeld();

    // Every attempt, in the order they were started.
    QVector<WidgetRun> attempts() const;
    // The widgets by their last attempt.
    Tally tally(bool recordFailed, bool stdoutFailed) const;

private:
    struct Widget
    {
        QByteArray serial;
        bool present = false;
        bool inFlight = false;
        bool stranded = false; // this station left it in its loader
        int lastAttempt = -1;
    };
    struct Plugged
    {
        lumora::DeviceEntry attachment;
        int widget;
        enum { Held, Started, Unreadable } state;
        bool twinNoted;
    };

    int widgetFor(const lumora::DeviceEntry &a);
    WidgetRun attemptFor(const Plugged &p, bool recover);

    bool m_recoverAll;
    QVector<Widget> m_widgets;
    QVector<DWORD> m_order;           // locations present, in listing order
    QHash<DWORD, Plugged> m_present;  // by location
    QVector<WidgetRun> m_attempts;    // by index
    QVector<int> m_attemptWidget;
};

#endif

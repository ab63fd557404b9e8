// The modes that update widgets, and what they share.
#ifndef LUMORA_STATION_H
#define LUMORA_STATION_H

#include "firmwareimage.h"
#include "options.h"
#include "reporter.h"
#include "widgetjob.h"

#include <QVector>

// SIGINT, SIGTERM and SIGHUP received so far.
int signalsReceived();

struct UpdateContext
{
    const FlashOptions &options;
    const FirmwareImage &image;
    Reporter &reporter;
};

// How a run ended: its exit code, and the count of widgets (not attempts).
struct Tally
{
    int code = 0;
    int widgets = 0;
    int succeeded = 0;
};

// A widget's hooks into the run: its events reach the reporter; it does not
// start after a signal or a record that cannot be written, and it stops
// after its page in flight once `signalsToInterrupt` signals have come.
// `verify`: ask each widget after its restart which firmware it runs.
WidgetJobHooks hooksFor(Reporter &reporter, int signalsToInterrupt, bool verify);
// `perSerial`: a widget updated twice counts once, by its last attempt.
Tally tallyOf(const QVector<WidgetRun> &runs, bool perSerial);

// Waits for widgets and updates each one as it is plugged in, until a
// signal or a record that cannot be written.
Tally runStation(const UpdateContext &context);

#endif

// The modes that update widgets, and what they share.
#ifndef LUMORA_STATION_H
#define LUMORA_STATION_H

#include "firmwareimage.h"
#include "options.h"
#include "reporter.h"
#include "runcontrol.h"
#include "widgetjob.h"

struct UpdateContext
{
    const FlashOptions &options;
    const FirmwareImage &image;
    Reporter &reporter;
    RunControl &control;
};

// A widget's hooks into the run: its events reach the reporter; it does not
// start, nor enter its loader, once the run stops starting widgets; it stops
// after its page in flight once the run is interrupted.
WidgetJobHooks hooksFor(const UpdateContext &context);

// Waits for widgets and updates each one as it is plugged in, until a
// signal or a record that cannot be written.
Tally runStation(const UpdateContext &context);

#endif

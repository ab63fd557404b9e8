// One widget of a flasher run, from its open to the result of its update.
#ifndef LUMORA_WIDGETJOB_H
#define LUMORA_WIDGETJOB_H

#include "devicelist.h"
#include "firmwareimage.h"
#include "outcome.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>

struct WidgetRun
{
    int index = 0;           // in the device list of the run, or the order of arrival
    lumora::DeviceEntry device; // the list entry it is opened by
    bool arrived = false;    // plugged in during a station run: named by its serial, not its index
    QByteArray serial;       // as the list showed it
    QString description;
    bool recover = false;    // updated whether or not it answers its parameter request
    bool identified = false; // it answered: firmwareBefore holds its version
    QString firmwareBefore;  // "1.44" once identified
    bool sameSerialAsAnother = false; // shown with its index, to tell it apart
    bool started = false;    // the loader request went out
    WidgetResult result = WidgetResult::OpenFailed;
    int pagesSent = 0;
    int pageCount = 0;
    int pagesRefused = 0;
    double seconds = 0;
    QDateTime finishedAt;
    QString message;         // why it did not end in Done

    // The serial string as printed: control characters escaped.
    QString shownSerial() const;
    // The serial string, with the list index when another widget has the same.
    QString shownName() const;
};

// Text from a file or a device as the flasher prints it: control characters
// and the backslash as \xNN, so that a version line or a device string cannot
// move the cursor, clear the screen or fake a line of its own, and two
// different strings never print the same.
QString printable(const QString &text);

struct WidgetJobHooks
{
    std::function<void(const WidgetRun &)> opened;
    std::function<void(const WidgetRun &, int pagesSent, int pageCount)> pageSent;
    // True: do not put the widget into its loader (nothing is sent).
    std::function<bool()> stopBeforeStart;
    // True: stop after the page in flight.
    std::function<bool()> stopRequested;
};

// Opens the widget (its list entry, which must report the serial string the
// list showed), loads the image into it and lets go of it.
void flashWidget(WidgetRun &run, const FirmwareImage &image, const QString &fileName, const WidgetJobHooks &hooks);

#endif

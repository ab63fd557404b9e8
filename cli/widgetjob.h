// One widget of a flasher run, from its open to the result of its update.
#ifndef LUMORA_WIDGETJOB_H
#define LUMORA_WIDGETJOB_H

#include "firmwareimage.h"

#include <QByteArray>
#include <QString>

#include <functional>

// How a widget's update ended, from best to worst: a run ends with the exit
// code of its worst widget.
enum class WidgetResult { Done, Interrupted, NotChosen, OpenFailed, PagesRefused, StoppedAnswering, WidgetLost };

struct WidgetRun
{
    int index = 0;           // in the device list of the run, or the order of arrival
    bool bySerial = false;   // opened by serial string, not by its place in the list
    QByteArray serial;       // as the list showed it
    QString description;
    QString firmwareBefore;  // "1.44" once opened
    bool started = false;    // the update reached the widget (it goes into the record)
    WidgetResult result = WidgetResult::OpenFailed;
    int pagesSent = 0;
    int pageCount = 0;
    int pagesRefused = 0;
    double seconds = 0;
    QString message;         // why it did not end in Done

    // The serial string as printed: control characters escaped.
    QString shownSerial() const;
};

// Text from a file or a device as the flasher prints it: control characters
// as \xNN, so that a version line or a device string cannot move the cursor,
// clear the screen or fake a line of its own.
QString printable(const QString &text);

struct WidgetJobHooks
{
    std::function<void(const WidgetRun &)> opened;
    std::function<void(const WidgetRun &, int pagesSent, int pageCount)> pageSent;
    std::function<bool()> stopRequested;
};

// Opens the widget (entry `index` of the list, which must report the serial
// string the list showed; or the widget with that serial string), loads the
// image into it and lets go of it.
void flashWidget(WidgetRun &run, const FirmwareImage &image, const QString &fileName, const WidgetJobHooks &hooks);

int exitCode(WidgetResult result);
// "done", "pages_refused" and so on: the outcome as the JSON events name it.
const char *outcomeName(WidgetResult result);
// "done", "pages refused" and so on: the outcome for people.
QString outcomeText(WidgetResult result);

#endif

// One widget of a flasher run, from its open to the result of its update.
#ifndef LUMORA_WIDGETJOB_H
#define LUMORA_WIDGETJOB_H

#include "devicelist.h"
#include "firmwareimage.h"
#include "outcome.h"
#include "updateverification.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>

// A listed device's strings as the flasher prints them.
QString shownDescription(const lumora::DeviceEntry &entry);
QString shownSerial(const lumora::DeviceEntry &entry);

struct WidgetRun
{
    WidgetRun();
    // The run of a listed device: its entry, and its strings as printed.
    WidgetRun(const lumora::DeviceEntry &entry, int index, bool recover);

    QString attemptId;       // a random UUID, made before the widget is touched
    int index = 0;           // in the device list of the run, or the order of arrival
    lumora::DeviceEntry device; // the list entry it is opened by; its LocId tells where to find it again
    bool arrived = false;    // plugged in during a station run: named by its serial, not its index
    QByteArray serial;       // as the list showed it
    QString description;
    bool recover = false;    // updated whether or not it answers its parameter request
    QString recoveryReason;  // why a station recovers it without --recover
    bool identified = false; // it answered: firmwareBefore holds its version
    QString firmwareBefore;  // "1.44" once identified
    bool sameSerialAsAnother = false; // shown with its index, to tell it apart
    bool started = false;    // the loader request went out
    WidgetResult result = WidgetResult::OpenFailed;
    int pagesSent = 0;
    int pageCount = 0;
    int pagesRefused = 0;
    Verify verify = Verify::Skipped; // what the widget said after its restart
    QString firmwareAfter;   // "2.10" when it answered after its restart
    double seconds = 0;
    QDateTime finishedAt;
    QString message;         // why it did not end in Done
    bool messageLogged = false; // the update logged it already, as a warning

    // The serial string as printed: control characters escaped.
    QString shownSerial() const;
    // The serial string, with the list index when another widget has the same.
    QString shownName() const;
    // How the log lines and messages of its open name it: its serial when it
    // arrived at a station, else its place in the list.
    QString openName() const;
};

// Text from a file or a device as the flasher prints it: control characters
// and the backslash as \xNN, each NN a byte of their UTF-8 form, and bytes
// that were not UTF-8 (see bytetext.h) as \xNN of the byte itself; so that a
// version line or a device string cannot move the cursor, clear the screen
// or fake a line of its own, two different strings never print the same,
// and the printed form reads back with textFromPrintable.
QString printable(const QString &text);
// The text a printed form stands for, each \xNN the byte NN; other
// characters stand for themselves. False when a backslash starts no \xNN.
bool textFromPrintable(const QString &printed, QString *text);
// A file name as the flasher prints it: printable() where a name may be any
// bytes; on Windows as it is, its backslashes being the separators.
QString printablePath(const QString &path);

struct WidgetJobHooks
{
    std::function<void(const WidgetRun &)> opened;
    std::function<void(const WidgetRun &, int pagesSent, int pageCount)> pageSent;
    // True: do not open the widget (nothing is sent).
    std::function<bool()> stopBeforeStart;
    // Asked just before the loader request: false, do not put the widget
    // into its loader (nothing is sent). Without it, stopBeforeStart is asked.
    std::function<bool()> enterLoader;
    // True: stop after the page in flight.
    std::function<bool()> stopRequested;
    // After an update whose every page was accepted, find the widget again
    // once it has restarted and ask which firmware it runs.
    bool verify = true;
};

// Opens the widget (its list entry, which must report the serial string the
// list showed), loads the image into it, lets go of it and, when every page
// was accepted, checks what it runs after its restart.
void flashWidget(WidgetRun &run, const FirmwareImage &image, const QString &fileName, const WidgetJobHooks &hooks);

#endif

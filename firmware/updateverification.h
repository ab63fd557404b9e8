// After an update: the widget, restarted into its new image, is found again
// where it was and asked which firmware it runs. Pages that were all accepted
// say only that the loader took them; the widget's own answer says that the
// image runs.
#ifndef LUMORA_UPDATEVERIFICATION_H
#define LUMORA_UPDATEVERIFICATION_H

#include "ftd2xx.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>

class WidgetLink;

// What tells the widget that was updated from any other.
struct WidgetIdentity
{
    DWORD location = 0;      // its LocId when it was opened: its port, and an address
    QByteArray serialString; // its USB serial string
    bool hasSerialNumber = false;
    uint32_t serialNumber = 0; // what it reported over its protocol
    QString name;            // how the log lines name it
};

enum class Verify {
    Verified,  // it reports the version the image's version line gives
    Mismatch,  // it reports another version
    NoAnswer,  // it did not come back, or did not answer, in time
    Unchecked, // it answered, but the version line is not M.N: nothing to compare
    Skipped,   // not asked: the update did not end, or the check was not wanted
};

// "verified", "mismatch", "no_answer", "unchecked", "skipped".
const char *verifyName(Verify verify);

struct Verification
{
    Verify verify = Verify::Skipped;
    QString firmwareAfter; // "2.10" as it reported it; empty when it did not answer
    bool replaced = false; // another widget answered, or sits, in its place
    bool stopped = false;  // a stop came before the widget answered
    QString message;       // why it is not verified, in words; empty when it is
};

// The two numbers of a version line that reads M.N (each a byte's worth);
// false for any other line.
bool versionNumbers(const QString &versionLine, int *major, int *minor);

// Lets go of the widget on `link`, which then restarts into its new image,
// finds it again on the same USB port with the same serial string (a widget
// that re-enumerates comes back as a new device there, never by a place in a
// list), and asks its parameters and serial number, within `limitMs` of the
// close, the open's own pauses included. `stop` ends the wait early. The
// link holds nothing afterwards.
Verification verifyAfterRestart(WidgetLink &link, const WidgetIdentity &widget, const QString &imageVersion,
                                int limitMs, const std::function<bool()> &stop = {});

// The longest a widget may take to come back after its update.
constexpr int RestartLimitMs = 5000;

#endif

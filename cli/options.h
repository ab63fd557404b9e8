// The flasher's command line, parsed once into one struct.
#ifndef LUMORA_OPTIONS_H
#define LUMORA_OPTIONS_H

#include "reporter.h"

#include <QString>

struct FlashOptions
{
    RunMode mode = RunMode::OneWidget;
    QString imagePath;       // the update modes
    int device = -1;         // --device
    QString deviceText;      // as given
    QString serial;          // --serial
    bool hasSerial = false;
    bool json = false;
    QString recordPath;
    bool hasRecord = false;
    bool yes = false;
    bool verbose = false;
    bool recover = false;
    bool verify = true;      // off with --no-verify
    QString stationName;     // --station-name; else the host name
    QString recordDb;        // --record-db: the line's database, as libpq takes it
    bool hasRecordDb = false;
    QString spoolPath;       // --spool; else the default spool
    QString historySerial;   // --history SERIAL; null: every widget's
};

struct ParsedOptions
{
    enum { Run, Help, Version, Bad } action = Run;
    FlashOptions options;
    QString text; // the help text, or what is wrong
};

ParsedOptions parseOptions(const QStringList &arguments);

#endif

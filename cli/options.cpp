#include "options.h"
#include "conninfo.h"
#include "outcome.h"
#include "widgetjob.h"

#include <QCommandLineParser>

ParsedOptions parseOptions(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Lists USB DMX widgets, shows what one reports, or loads FILE.bin into one widget, into"
                       " every attached widget at once (--all), or into each widget as it is plugged in"
                       " (--station).\n\n")
        + exitCodeHelp());
    parser.addHelpOption();
    parser.addOptions({
        {"version", "Show the version of the program and of the libraries it runs with."},
        {"list", "List the attached widgets: index, description, serial."},
        {"info", "Open the widget and show its serial number, firmware and DMX timing."},
        {{"d", "device"}, "Use the widget at index <N> of the list.", "N"},
        {{"s", "serial"}, "Use the widget whose serial string is <SN>, as --list prints it: \\xNN is the byte NN.",
         "SN"},
        {"all", "Update every attached widget at the same time."},
        {"station", "Update each widget as it is plugged in, until interrupted."},
        {"recover", "Update a widget that waits in its loader and does not answer its parameter request"
                    " (with --device or --serial, or in --station). It sends firmware to whatever is"
                    " attached: only for Lumora widgets."},
        {"no-verify", "Do not ask the widget after its restart which firmware it runs (for images whose version"
                      " line does not follow the firmware's version)."},
        {"station-name", "Name this station <NAME> in the record and JSON (default: the host name).", "NAME"},
        {"json", "Write events as JSON objects, one a line, on standard output."},
        {"record", "Append a CSV line for every widget to <FILE>.", "FILE"},
        {"record-db", "Put a row for every widget into the line's PostgreSQL database at <CONNINFO> (a URI"
                      " postgresql://USER@HOST/DB, keywords host=HOST dbname=DB, or service=NAME; PG* variables and"
                      " ~/.pgpass for the rest). Rows wait in the spool while it cannot be reached.",
         "CONNINFO"},
        {"spool", "Keep the rows for --record-db in <FILE> until the database has them (default: "
                  "$XDG_STATE_HOME/lumora/spool.sqlite).", "FILE"},
        {"sync", "With --record-db: flash nothing, deliver the rows that wait in the spool."},
        {"history", "With --record-db: list the attempts in the line's database, newest first; of one widget"
                    " when its SERIAL is given."},
        {{"y", "yes"}, "Start the update without asking (once for the whole run)."},
        {{"v", "verbose"}, "Show the program's log lines on standard error."},
    });
    parser.addPositionalArgument("FILE.bin", "Firmware image to load (with --history: the SERIAL).");

    ParsedOptions parsed;
    auto bad = [&](const QString &why) {
        parsed.action = ParsedOptions::Bad;
        parsed.text = why;
        return parsed;
    };
    if (!parser.parse(arguments))
        return bad(parser.errorText());
    if (parser.isSet("help")) {
        parsed.action = ParsedOptions::Help;
        parsed.text = parser.helpText();
        return parsed;
    }
    if (parser.isSet("version")) {
        parsed.action = ParsedOptions::Version;
        return parsed;
    }

    // Given twice, an option must say the same both times: which one was
    // meant is not guessed.
    for (const char *name : {"device", "serial", "record", "record-db", "spool"}) {
        QStringList given = parser.values(name);
        given.removeDuplicates();
        QStringList shown;
        for (const QString &value : qAsConst(given))
            shown << (qstrcmp(name, "record-db") == 0 ? maskedAddress(value)
                      : qstrcmp(name, "record") == 0 || qstrcmp(name, "spool") == 0 ? printablePath(value) : value);
        if (given.size() > 1)
            return bad(QStringLiteral("--%1 given more than once (%2): give it once")
                           .arg(name, shown.join(QStringLiteral(", "))));
    }
    QStringList files = parser.positionalArguments();
    files.removeDuplicates();
    FlashOptions &o = parsed.options;
    o.hasRecordDb = parser.isSet("record-db");
    o.recordDb = parser.value("record-db");
    o.spoolPath = parser.value("spool");
    if (o.hasRecordDb) {
        const QString problem = addressProblem(o.recordDb);
        if (!problem.isEmpty())
            return bad(QStringLiteral("--record-db %1: %2; give an address as libpq takes it:"
                                      " postgresql://USER@HOST/DB, host=HOST dbname=DB, or service=NAME")
                           .arg(maskedAddress(o.recordDb), problem));
    }
    if (parser.isSet("spool") && (!o.hasRecordDb || o.spoolPath.isEmpty()))
        return bad("--spool needs a file name, and goes with --record-db");
    o.json = parser.isSet("json");
    o.yes = parser.isSet("yes");
    o.verbose = parser.isSet("verbose");
    const bool sync = parser.isSet("sync"), history = parser.isSet("history");
    if (sync || history) {
        // They read the line's database, and flash nothing.
        if (sync == history || !o.hasRecordDb)
            return bad("give one of --sync or --history, with --record-db CONNINFO (see --help)");
        for (const char *name : {"list", "info", "device", "serial", "all", "station", "recover", "no-verify",
                                 "station-name", "record"})
            if (parser.isSet(name))
                return bad(QStringLiteral("--%1 flashes nothing: it takes no --%2")
                               .arg(sync ? "sync" : "history", name));
        if (history && parser.isSet("spool"))
            return bad("--history reads the line's database, not the spool: it takes no --spool");
        if (sync ? !files.isEmpty() : files.size() > 1)
            return bad(sync ? QStringLiteral("--sync flashes nothing: it takes no FILE.bin")
                            : QStringLiteral("--history takes one SERIAL at most"));
        o.mode = sync ? RunMode::Sync : RunMode::History;
        o.historySerial = files.value(0);
        return parsed;
    }
    if (files.size() > 1)
        return bad(QStringLiteral("%1 images given (%2): give one FILE.bin")
                       .arg(files.size()).arg(printablePath(files.join(", "))));

    const bool list = parser.isSet("list"), info = parser.isSet("info"), all = parser.isSet("all"),
               station = parser.isSet("station");
    o.recover = parser.isSet("recover");
    o.verify = !parser.isSet("no-verify");
    o.stationName = parser.value("station-name");
    o.hasSerial = parser.isSet("serial");
    if (o.hasSerial && !textFromPrintable(parser.value("serial"), &o.serial))
        return bad(QStringLiteral("--serial %1: a backslash starts \\xNN, the byte NN in two hex digits, as --list"
                                  " prints it; give a backslash itself as \\x5c")
                       .arg(parser.value("serial")));
    o.hasRecord = parser.isSet("record");
    o.recordPath = parser.value("record");
    const bool hasDevice = parser.isSet("device");
    o.deviceText = parser.value("device");
    o.imagePath = files.value(0);

    if (int(list) + int(info) + int(!files.isEmpty()) != 1)
        return bad("give exactly one of --list, --info or FILE.bin (see --help)");
    if (hasDevice && o.hasSerial)
        return bad("--device and --serial exclude each other");
    if (list && (hasDevice || o.hasSerial))
        return bad("--list lists every widget: it takes no --device or --serial");
    if ((all || station) && (files.isEmpty() || all == station || hasDevice || o.hasSerial))
        return bad("--all and --station each take FILE.bin, and no --device or --serial (see --help)");
    if ((info && o.json) || (files.isEmpty() && o.hasRecord))
        return bad("--json goes with --list or an update, --record with an update (see --help)");
    if (files.isEmpty() && o.hasRecordDb)
        return bad("--record-db goes with an update, --sync or --history (see --help)");
    if (o.hasRecord && o.recordPath.isEmpty())
        return bad("--record needs a file name (an empty one was given)");
    if (files.isEmpty() && (parser.isSet("no-verify") || parser.isSet("station-name")))
        return bad("--no-verify and --station-name go with an update (see --help)");
    if (parser.isSet("station-name") && o.stationName.trimmed().isEmpty())
        return bad("--station-name needs a name (an empty one was given)");
    if (o.recover && (files.isEmpty() || all || (!station && !hasDevice && !o.hasSerial)))
        return bad("--recover updates one chosen widget (--device or --serial) or each widget of a --station;"
                   " it takes FILE.bin");
    if (hasDevice) {
        bool ok = false;
        o.device = o.deviceText.toInt(&ok);
        if (!ok || o.device < 0)
            return bad(QStringLiteral("no device %1: give the index --list shows").arg(o.deviceText));
    }
    o.mode = list ? RunMode::List : info ? RunMode::Info : all ? RunMode::AllWidgets
                                                    : station ? RunMode::Station : RunMode::OneWidget;
    return parsed;
}

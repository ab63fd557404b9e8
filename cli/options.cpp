#include "options.h"
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
        {{"y", "yes"}, "Start the update without asking (once for the whole run)."},
        {{"v", "verbose"}, "Show the program's log lines on standard error."},
    });
    parser.addPositionalArgument("FILE.bin", "Firmware image to load.");

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
    for (const char *name : {"device", "serial", "record"}) {
        QStringList given = parser.values(name);
        given.removeDuplicates();
        const QString values = given.join(", ");
        if (given.size() > 1)
            return bad(QStringLiteral("--%1 given more than once (%2): give it once")
                           .arg(name, name == QLatin1String("record") ? printablePath(values) : values));
    }
    QStringList files = parser.positionalArguments();
    files.removeDuplicates();
    if (files.size() > 1)
        return bad(QStringLiteral("%1 images given (%2): give one FILE.bin")
                       .arg(files.size()).arg(printablePath(files.join(", "))));

    FlashOptions &o = parsed.options;
    const bool list = parser.isSet("list"), info = parser.isSet("info"), all = parser.isSet("all"),
               station = parser.isSet("station");
    o.json = parser.isSet("json");
    o.yes = parser.isSet("yes");
    o.verbose = parser.isSet("verbose");
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

// lumora-flash: lists widgets, shows what one reports, and loads a firmware
// image into one widget, into every attached widget at once (--all), or into
// each widget as it is plugged in (--station), with the same link and update
// procedure as the window.
#include "deviceinfo.h"
#include "exitcodes.h"
#include "terminal.h"
#include "firmwareimage.h"
#include "firmwareupdate.h"
#include "reporter.h"
#include "widgetjob.h"
#include "widgetlink.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QSet>
#include <QTextStream>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <list>
#include <memory>
#include <thread>


namespace {

const char ExitCodeHelp[] =
    "Exit codes (of several widgets, the worst: 9, 6, 4, 3, 8, 10, then 0):\n"
    "  0  done: every page accepted by every widget (or the list / info printed)\n"
    "  1  the device list could not be read\n"
    "  2  bad usage\n"
    "  3  no such device: none attached, index out of range, not exactly one\n"
    "     widget matches, or the widget changed between the list and the open\n"
    "  4  a widget could not be opened (the reason is on standard error)\n"
    "  5  the image file is unreadable or refused (not a regular file, no whole\n"
    "     page, too large)\n"
    "  6  a widget refused pages (the count is on standard error)\n"
    "  7  not confirmed: answered no, or no terminal and no --yes\n"
    "  8  interrupted by a signal (the page in flight was finished first)\n"
    "  9  a widget was lost during its update (unplugged or stopped working)\n"
    " 10  standard output or the record could not be written\n";

constexpr int StationListIntervalMs = 500;

// SIGINT, SIGTERM and SIGHUP: how many arrived. One stops the run after the
// pages in flight (a station first lets the widgets in flight finish).
std::atomic<int> gSignals{0};

extern "C" void onStopSignal(int)
{
    gSignals.fetch_add(1);
}

void installSignalHandlers()
{
#ifdef SIGPIPE
    // A closed pipe on standard output or error must not end a flash.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
#ifdef SIGHUP
    std::signal(SIGHUP, onStopSignal);
#endif
}

// Standard output reached its reader: flushed with no error.
bool outputWritten()
{
    return std::fflush(stdout) == 0 && !std::ferror(stdout);
}

struct Selection
{
    int index = -1;
    QString error;
    ExitCode code = ExitDone;
};

// Which widget the options name: --device N, --serial SN, or the only one.
Selection selectDevice(const QVector<FT_DEVICE_LIST_INFO_NODE> &devices, const QCommandLineParser &options)
{
    Selection s;
    if (options.isSet("device")) {
        bool ok = false;
        const int index = options.value("device").toInt(&ok);
        if (!ok || index < 0 || index >= devices.size()) {
            s.code = ok ? ExitNoSuchDevice : ExitUsage;
            s.error = QStringLiteral("no device %1: %2 widget(s) attached")
                          .arg(options.value("device")).arg(devices.size());
            return s;
        }
        s.index = index;
        return s;
    }
    if (options.isSet("serial")) {
        const QString wanted = options.value("serial");
        int matches = 0;
        for (int i = 0; i < devices.size(); ++i) {
            if (deviceSerialString(devices[i]) == wanted) {
                s.index = i;
                ++matches;
            }
        }
        if (matches != 1) {
            s.index = -1;
            s.code = ExitNoSuchDevice;
            s.error = matches == 0 ? QStringLiteral("no widget with serial %1").arg(wanted)
                                   : QStringLiteral("%1 widgets with serial %2; choose one with --device")
                                         .arg(matches).arg(wanted);
        }
        return s;
    }
    if (devices.size() != 1) {
        s.code = ExitNoSuchDevice;
        s.error = devices.isEmpty() ? QStringLiteral("no widget attached")
                                    : QStringLiteral("%1 widgets attached; choose one with --device or --serial")
                                          .arg(devices.size());
        return s;
    }
    s.index = 0;
    return s;
}

// A listed device's strings as the flasher prints them.
QString shownDescription(const FT_DEVICE_LIST_INFO_NODE &node)
{
    return printable(deviceDescription(node));
}

QString shownSerial(const FT_DEVICE_LIST_INFO_NODE &node)
{
    return printable(deviceSerialString(node));
}

// `serial` as printed.
void printCannotOpen(int index, const QString &serial)
{
    printError(QStringLiteral("cannot open widget %1 (serial %2)")
                   .arg(index)
                   .arg(serial.isEmpty() ? QStringLiteral("unreadable") : serial));
}

WidgetRun runFor(const QVector<FT_DEVICE_LIST_INFO_NODE> &devices, int index)
{
    WidgetRun run;
    run.index = index;
    run.serial = deviceSerialString(devices[index]).toLatin1();
    run.description = shownDescription(devices[index]);
    return run;
}

int printInfo(int index, const QString &serial)
{
    WidgetLink link;
    link.reportStream = nullptr; // printed below, with the rest
    if (!link.open(index)) {
        printCannotOpen(index, serial);
        return ExitOpenFailed;
    }
    {
        QTextStream out(stdout);
        uint32_t serial = 0;
        if (link.readSerialNumber(&serial))
            out << "Serial No " << QString::number(serial, 16) << '\n';
        else
            out << "Serial No unknown\n";
        out << "Firmware " << link.params.firmwareMsb << '.' << link.params.firmwareLsb << '\n'
            << "Break time " << WidgetLink::breakTimeMicroseconds(link.params.breakTime) << " micro sec\n"
            << "MAB time " << WidgetLink::mabTimeMicroseconds(link.params.mabTime) << " micro sec\n"
            << "Refresh rate " << link.params.refreshRate << " packets/sec\n";
    }
    link.close();
    return outputWritten() ? ExitDone : ExitOutputFailed;
}

// Asks on the terminal; anything but y/yes is no.
bool confirmed(const QString &question)
{
    std::fprintf(stderr, "%s [y/N] ", question.toLocal8Bit().constData());
    std::fflush(stderr);
    char answer[16] = {};
    if (!std::fgets(answer, sizeof answer, stdin))
        return false;
    const QByteArray text = QByteArray(answer).trimmed().toLower();
    return text == "y" || text == "yes";
}

WidgetJobHooks hooksFor(Reporter &reporter, int signalsToStop)
{
    WidgetJobHooks hooks;
    hooks.opened = [&reporter](const WidgetRun &run) { reporter.opened(run); };
    hooks.pageSent = [&reporter](const WidgetRun &run, int sent, int total) { reporter.pageSent(run, sent, total); };
    hooks.stopRequested = [signalsToStop] { return gSignals.load() >= signalsToStop; };
    return hooks;
}

int exitCodeOf(const QVector<WidgetRun> &runs, const Reporter &reporter)
{
    int code = reporter.outputFailed() ? ExitOutputFailed : ExitDone;
    for (const WidgetRun &run : runs)
        code = worseExitCode(code, exitCode(run.result));
    return code;
}

// Every widget of the list at once, a thread each with its own handle.
QVector<WidgetRun> flashAll(const QVector<FT_DEVICE_LIST_INFO_NODE> &devices, const FirmwareImage &image,
                            const QString &fileName, Reporter &reporter)
{
    QVector<WidgetRun> runs;
    for (int i = 0; i < devices.size(); ++i)
        runs << runFor(devices, i);
    reporter.showBoard(runs);
    const WidgetJobHooks hooks = hooksFor(reporter, 1);
    std::vector<std::thread> threads;
    for (WidgetRun &run : runs) {
        threads.emplace_back([&run, &image, &fileName, &hooks, &reporter] {
            setLogTag(run.shownSerial());
            flashWidget(run, image, fileName, hooks);
            reporter.finished(run);
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    return runs;
}

// Waits for widgets and updates each one as it is plugged in, until a
// signal; a widget is updated again only after it was pulled out.
QVector<WidgetRun> station(const FirmwareImage &image, const QString &fileName, Reporter &reporter)
{
    struct Job {
        WidgetRun run;
        std::thread thread;
        std::atomic<bool> done{false};
    };
    std::list<Job> jobs;
    QVector<WidgetRun> finished;
    QSet<QByteArray> attached;   // serials listed now, flashed or being flashed
    QSet<QByteArray> told;       // widgets that cannot be told apart, said once
    // The widgets in flight finish after the first signal; a second one
    // interrupts them after their page in flight.
    const WidgetJobHooks hooks = hooksFor(reporter, 2);
    int arrivals = 0;
    std::fprintf(stderr, "waiting for widgets; Ctrl-C ends the station\n");
    while (gSignals.load() == 0) {
        DWORD count = 0;
        QVector<FT_DEVICE_LIST_INFO_NODE> devices;
        if (FT_CreateDeviceInfoList(&count) == FT_OK)
            devices = readDeviceInfoList(count);
        QHash<QByteArray, int> listed;
        for (const FT_DEVICE_LIST_INFO_NODE &node : qAsConst(devices))
            listed[deviceSerialString(node).toLatin1()] += 1;
        for (auto it = jobs.begin(); it != jobs.end();) {
            if (!it->done.load()) {
                ++it;
                continue;
            }
            it->thread.join();
            finished << it->run;
            it = jobs.erase(it);
        }
        // Pulled out: it is updated again when it comes back.
        for (auto it = attached.begin(); it != attached.end();) {
            const bool busy = std::any_of(jobs.begin(), jobs.end(), [&](const Job &j) { return j.run.serial == *it; });
            it = listed.contains(*it) || busy ? std::next(it) : attached.erase(it);
        }
        for (auto it = listed.cbegin(); it != listed.cend(); ++it) {
            const QByteArray serial = it.key();
            if (attached.contains(serial))
                continue;
            if (serial.isEmpty() || it.value() > 1) {
                if (!told.contains(serial))
                    printError(serial.isEmpty() ? QStringLiteral("a widget without a readable serial number cannot be"
                                                                 " told apart from others: not updated")
                                                : QStringLiteral("%1 widgets with serial %2: they cannot be told apart;"
                                                                 " unplug all but one")
                                                      .arg(it.value()).arg(printable(QString::fromLatin1(serial))));
                told.insert(serial);
                continue;
            }
            told.remove(serial);
            attached.insert(serial);
            jobs.emplace_back();
            Job &job = jobs.back();
            job.run.index = arrivals++;
            job.run.bySerial = true;
            job.run.serial = serial;
            for (const FT_DEVICE_LIST_INFO_NODE &node : qAsConst(devices))
                if (deviceSerialString(node).toLatin1() == serial)
                    job.run.description = shownDescription(node);
            job.thread = std::thread([&job, &image, &fileName, &hooks, &reporter] {
                setLogTag(job.run.shownSerial());
                flashWidget(job.run, image, fileName, hooks);
                reporter.finished(job.run);
                job.done.store(true);
            });
        }
        waitForDeviceChange(StationListIntervalMs);
    }
    if (!jobs.empty())
        printError(QStringLiteral("stopping: %1 widget(s) in flight finish first (a second Ctrl-C interrupts them)")
                       .arg(jobs.size()));
    for (Job &job : jobs) {
        job.thread.join();
        finished << job.run;
    }
    return finished;
}

} // namespace

int main(int argc, char *argv[])
{
    installSignalHandlers();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("lumora-flash");

    QCommandLineParser options;
    options.setApplicationDescription(
        QStringLiteral("Lists USB DMX widgets, shows what one reports, or loads FILE.bin into one widget, into"
                       " every attached widget at once (--all), or into each widget as it is plugged in"
                       " (--station).\n\n")
        + QLatin1String(ExitCodeHelp));
    options.addHelpOption();
    options.addOptions({
        {"list", "List the attached widgets: index, description, serial."},
        {"info", "Open the widget and show its serial number, firmware and DMX timing."},
        {{"d", "device"}, "Use the widget at index <N> of the list.", "N"},
        {{"s", "serial"}, "Use the widget whose serial string is <SN>.", "SN"},
        {"all", "Update every attached widget at the same time."},
        {"station", "Update each widget once as it is plugged in, until interrupted."},
        {"json", "Write events as JSON objects, one a line, on standard output."},
        {"record", "Append a CSV line for every widget updated to <FILE>.", "FILE"},
        {{"y", "yes"}, "Start the update without asking (once for the whole run)."},
        {{"v", "verbose"}, "Show the program's log lines on standard error."},
    });
    options.addPositionalArgument("FILE.bin", "Firmware image to load.");
    if (!options.parse(QCoreApplication::arguments())) {
        installFlasherMessageHandler(false);
        printError(options.errorText());
        return ExitUsage;
    }
    if (options.isSet("help")) {
        std::fputs(options.helpText().toLocal8Bit().constData(), stdout);
        return outputWritten() ? ExitDone : ExitOutputFailed;
    }
    installFlasherMessageHandler(options.isSet("verbose"));

    const QStringList files = options.positionalArguments();
    const bool list = options.isSet("list");
    const bool info = options.isSet("info");
    const bool all = options.isSet("all");
    const bool atStation = options.isSet("station");
    if (int(list) + int(info) + int(!files.isEmpty()) != 1 || files.size() > 1) {
        printError("give exactly one of --list, --info or FILE.bin (see --help)");
        return ExitUsage;
    }
    if (options.isSet("device") && options.isSet("serial")) {
        printError("--device and --serial exclude each other");
        return ExitUsage;
    }
    if ((all || atStation) && (files.isEmpty() || all == atStation || options.isSet("device") || options.isSet("serial"))) {
        printError("--all and --station each take FILE.bin, and no --device or --serial (see --help)");
        return ExitUsage;
    }
    if ((info && options.isSet("json")) || (files.isEmpty() && options.isSet("record"))) {
        printError("--json goes with --list or an update, --record with an update (see --help)");
        return ExitUsage;
    }

    Reporter::Options report;
    report.mode = all ? Reporter::Mode::AllWidgets : atStation ? Reporter::Mode::Station : Reporter::Mode::OneWidget;
    report.json = options.isSet("json");
    report.recordPath = options.value("record");

    // Read and check the image before touching any widget.
    FirmwareImage image;
    if (!files.isEmpty()) {
        QString error;
        if (!image.load(files.first(), &error)) {
            printError(error);
            return ExitBadFile;
        }
        const QString problem = FirmwareUpdate::imageProblem(image, files.first());
        if (!problem.isEmpty()) {
            printError(problem);
            return ExitBadFile;
        }
        if (image.leftOverBytes() > 0)
            printError(QStringLiteral("%1 bytes after the last whole page will not be sent").arg(image.leftOverBytes()));
        if (!options.isSet("yes") && !isTerminal(stdin)) {
            printError("standard input is not a terminal: give --yes to update without asking");
            return ExitNotConfirmed;
        }
        report.imagePath = files.first();
        report.imageVersion = printable(image.versionText()); // as the questions show it too
        // Of the bytes that are sent, not of the file as it may be by now.
        report.imageSha256 = QCryptographicHash::hash(image.fileContents(), QCryptographicHash::Sha256).toHex();
    }
    Reporter reporter(report);

    if (atStation) {
        if (!options.isSet("yes")
            && !confirmed(QStringLiteral("FW Version %1\nUpdate every widget plugged in from now on, until"
                                         " Ctrl-C?").arg(report.imageVersion))) {
            printError("station not started");
            return ExitNotConfirmed;
        }
        if (!reporter.openRecord())
            return ExitOutputFailed;
        const QVector<WidgetRun> runs = station(image, files.first(), reporter);
        const int code = exitCodeOf(runs, reporter);
        reporter.summary(runs, code);
        return reporter.outputFailed() ? worseExitCode(code, ExitOutputFailed) : code;
    }

    DWORD count = 0;
    if (FT_CreateDeviceInfoList(&count) != FT_OK) {
        printError("the device list could not be read");
        return ExitFailed;
    }
    const QVector<FT_DEVICE_LIST_INFO_NODE> devices = readDeviceInfoList(count);
    const QString unreadable = unreadableDevicesNote(devices);
    if (!unreadable.isEmpty())
        printError(unreadable);
    if (list) {
        if (report.json) {
            for (int i = 0; i < devices.size(); ++i)
                reporter.device(i, shownDescription(devices[i]), shownSerial(devices[i]));
            reporter.end(devices.size(), ExitDone);
        } else {
            QTextStream out(stdout);
            for (int i = 0; i < devices.size(); ++i)
                out << i << '\t' << shownDescription(devices[i]) << '\t' << shownSerial(devices[i]) << '\n';
        }
        return outputWritten() && !reporter.outputFailed() ? ExitDone : ExitOutputFailed;
    }

    QVector<WidgetRun> runs;
    if (all) {
        if (devices.isEmpty()) {
            printError("no widget attached");
            return ExitNoSuchDevice;
        }
        QString question = QStringLiteral("FW Version %1\nUpdate these %2 widgets?")
                               .arg(report.imageVersion).arg(devices.size());
        for (int i = 0; i < devices.size(); ++i)
            question += QStringLiteral("\n  %1  %2  %3").arg(i).arg(shownDescription(devices[i]), shownSerial(devices[i]));
        if (!options.isSet("yes") && !confirmed(question + QStringLiteral("\nDo you want to start update?"))) {
            printError("update not started");
            return ExitNotConfirmed;
        }
    } else {
        const Selection selection = selectDevice(devices, options);
        if (selection.index < 0) {
            printError(selection.error);
            return selection.code;
        }
        if (info)
            return printInfo(selection.index, shownSerial(devices[selection.index]));
        if (!options.isSet("yes")
            && !confirmed(QStringLiteral("FW Version %1\nDo you want to start update?").arg(report.imageVersion))) {
            printError("update not started");
            return ExitNotConfirmed;
        }
        runs << runFor(devices, selection.index);
    }
    if (gSignals.load()) {
        printError("interrupted before the update started; nothing was sent");
        return ExitInterrupted;
    }
    if (!reporter.openRecord())
        return ExitOutputFailed;

    if (all) {
        runs = flashAll(devices, image, files.first(), reporter);
    } else {
        // The device list entry the user chose, and only that one: a widget
        // pulled out since does not open, and no other takes its place.
        WidgetRun &run = runs.front();
        flashWidget(run, image, files.first(), hooksFor(reporter, 1));
        reporter.finished(run);
        if (run.result == WidgetResult::OpenFailed)
            printCannotOpen(run.index, run.shownSerial());
        else if (run.result == WidgetResult::NotChosen)
            printError(run.message);
    }
    const int code = exitCodeOf(runs, reporter);
    reporter.summary(runs, code);
    return reporter.outputFailed() ? worseExitCode(code, ExitOutputFailed) : code;
}

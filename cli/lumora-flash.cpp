// lumora-flash: lists widgets, shows what one reports, and loads a firmware
// image into one widget, into every attached widget at once (--all), or into
// each widget as it is plugged in (--station), with the same link and update
// procedure as the window.
#include "bytetext.h"
#include "deviceinfo.h"
#include "emulatedknobs.h"
#include "firmwareimage.h"
#include "firmwareupdate.h"
#include "linerecording.h"
#include "options.h"
#include "output.h"
#include "record.h"
#include "reporter.h"
#include "runcontrol.h"
#include "station.h"
#include "terminal.h"
#include "version.h"
#include "widgetlink.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFileInfo>
#include <QHash>
#include <QSysInfo>

#include <cstdlib>
#include <cstdio>
#include <memory>
#include <thread>
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace {

enum class Answer { Yes, No, Signal, NoTerminal };

// Asks on the controlling terminal, where it is seen whatever standard error
// is; anything but y/yes is no. A signal while the question waits is no, at
// once.
Answer ask(const QString &question, const RunControl &control)
{
    output::drain();
    const QByteArray prompt = question.toLocal8Bit() + " [y/N] ";
    QByteArray line;
#ifdef _WIN32
    std::fputs(prompt.constData(), stderr);
    std::fflush(stderr);
    char answer[16] = {};
    if (std::fgets(answer, sizeof answer, stdin))
        line = answer;
#else
    const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0)
        return Answer::NoTerminal;
    // A terminal takes a blocking write whole.
    auto say = [tty](const QByteArray &text) {
        const auto written = ::write(tty, text.constData(), size_t(text.size()));
        Q_UNUSED(written);
    };
    say(prompt);
    for (;;) {
        if (control.signalsReceived() > 0) {
            say("\n");
            ::close(tty);
            return Answer::Signal;
        }
        pollfd in{tty, POLLIN, 0};
        if (poll(&in, 1, 50) <= 0)
            continue;
        char c = 0;
        const auto n = ::read(tty, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || c == '\n' || line.size() > 16)
            break;
        line += c;
    }
    ::close(tty);
#endif
    const QByteArray text = line.trimmed().toLower();
    return text == "y" || text == "yes" ? Answer::Yes : Answer::No;
}

// Confirmed by --yes or on the terminal; else says why not.
bool confirmed(const UpdateContext &context, const QString &question)
{
    if (context.options.yes)
        return true;
    Reporter &reporter = context.reporter;
    const Answer answer = ask(question, context.control);
    if (answer == Answer::Yes)
        return true;
    reporter.error(answer == Answer::Signal ? QStringLiteral("not confirmed (a signal at the question): update not"
                                                             " started; nothing was sent")
                   : answer == Answer::NoTerminal ? QStringLiteral("no terminal to ask on (/dev/tty cannot be opened):"
                                                                   " give --yes to update without asking")
                                                  : QStringLiteral("update not started"));
    return false;
}

using lumora::DeviceEntry;
using lumora::DeviceList;

DeviceList listDevices(Reporter &reporter)
{
    const DeviceList devices = attachedDevices();
    if (!devices.read) {
        reporter.error(devices.why.empty() ? QStringLiteral("the device list could not be read")
                                           : QStringLiteral("the device list could not be read: %1")
                                                 .arg(QString::fromStdString(devices.why)));
        return devices;
    }
    const QString unreadable = unreadableDevicesNote(devices);
    if (!unreadable.isEmpty())
        output::printError(unreadable);
    return devices;
}

// Which widget the options name: --device N, --serial SN, or the only one;
// -1 after saying why none.
int selectDevice(const QVector<DeviceEntry> &devices, const FlashOptions &o, Reporter &reporter, int *code)
{
    *code = ExitNoSuchDevice;
    if (o.device >= 0) {
        if (o.device < devices.size())
            return o.device;
        reporter.error(QStringLiteral("no device %1: %2 widget(s) attached").arg(o.device).arg(devices.size()));
        return -1;
    }
    if (o.hasSerial) {
        QVector<int> matches;
        for (int i = 0; i < devices.size(); ++i)
            if (textFromBytes(devices[i].serial) == o.serial)
                matches << i;
        if (matches.size() == 1)
            return matches.first();
        reporter.error(matches.isEmpty() ? QStringLiteral("no widget with serial %1").arg(printable(o.serial))
                                         : QStringLiteral("%1 widgets with serial %2; choose one with --device")
                                               .arg(matches.size()).arg(printable(o.serial)));
        return -1;
    }
    if (devices.size() == 1)
        return 0;
    reporter.error(devices.isEmpty() ? QStringLiteral("no widget attached")
                                     : QStringLiteral("%1 widgets attached; choose one with --device or --serial")
                                           .arg(devices.size()));
    return -1;
}

Tally listMode(Reporter &reporter)
{
    const DeviceList devices = listDevices(reporter);
    if (!devices.read)
        return {ExitFailed, 0, -1};
    for (int i = 0; i < devices.entries.size(); ++i)
        reporter.device(i, shownDescription(devices.entries[i]), shownSerial(devices.entries[i]));
    return {ExitDone, int(devices.entries.size()), -1};
}

Tally infoMode(const FlashOptions &o, Reporter &reporter)
{
    const DeviceList devices = listDevices(reporter);
    if (!devices.read)
        return {ExitFailed, 0, -1};
    int code = 0;
    const int index = selectDevice(devices.entries, o, reporter, &code);
    if (index < 0)
        return {code, 0, -1};
    WidgetLink link;
    link.reportStream = nullptr; // printed below, with the rest
    const OpenResult opened = link.openWidget(devices.entries[index], QString::number(index));
    if (!opened.identified()) {
        const QString serial = shownSerial(devices.entries[index]);
        reporter.error(QStringLiteral("cannot open widget %1 (serial %2)")
                           .arg(index).arg(serial.isEmpty() ? QStringLiteral("unreadable") : serial));
        if (opened.stage == OpenStage::Silent)
            reporter.error(QStringLiteral("If its last update was cut off it waits in its loader: update it with"
                                          " --recover (only if this is a Lumora widget: --recover sends firmware"
                                          " to whatever is attached)"));
        return {ExitOpenFailed, 1, -1};
    }
    uint32_t serial = 0;
    const QString serialLine = link.readSerialNumber(&serial) ? QStringLiteral("Serial No %1").arg(serial, 0, 16)
                                                               : QStringLiteral("Serial No unknown");
    for (const QString &line : {serialLine,
                                QStringLiteral("Firmware %1.%2").arg(link.params.firmwareMsb).arg(link.params.firmwareLsb),
                                QStringLiteral("Break time %1 micro sec").arg(WidgetLink::breakTimeMicroseconds(link.params.breakTime)),
                                QStringLiteral("MAB time %1 micro sec").arg(WidgetLink::mabTimeMicroseconds(link.params.mabTime)),
                                QStringLiteral("Refresh rate %1 packets/sec").arg(link.params.refreshRate)})
        output::post(output::Channel::Out, line);
    link.close();
    return {ExitDone, 1, -1};
}

// Flashes the chosen widget, or every listed one at once, a thread each with
// its own handle.
Tally flashListed(const UpdateContext &context, const QVector<DeviceEntry> &devices, const QVector<int> &chosen)
{
    QVector<WidgetRun> runs;
    QHash<QByteArray, QVector<int>> bySerial;
    for (int index : chosen) {
        runs << WidgetRun(devices[index], index, context.options.recover);
        bySerial[runs.last().serial] << index;
    }
    for (WidgetRun &run : runs) {
        const QVector<int> &twins = bySerial[run.serial];
        run.sameSerialAsAnother = twins.size() > 1;
        if (run.sameSerialAsAnother && twins.first() == run.index) {
            QStringList names;
            for (int i : twins)
                names << QStringLiteral("#%1").arg(i);
            context.reporter.warning(QStringLiteral("widgets %1 have the same serial string %2: the table and the"
                                                  " record tell them apart by their list index")
                                       .arg(names.join(QStringLiteral(", ")), run.shownSerial()));
        }
    }
    context.reporter.showBoard(runs);
    const WidgetJobHooks hooks = hooksFor(context);
    std::vector<std::thread> threads;
    for (WidgetRun &run : runs) {
        threads.emplace_back([&run, &context, &hooks, several = runs.size() > 1] {
            if (several)
                output::setLogTag(run.shownName());
            flashWidget(run, context.image, context.options.imagePath, hooks);
            context.reporter.finished(run);
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    QVector<WidgetResult> results;
    for (const WidgetRun &run : qAsConst(runs))
        results << run.result;
    const Tally tally = tallyOf(results, output::recordFailed(), output::stdoutFailed());
    context.reporter.summary(runs, tally.widgets, tally.succeeded);
    return tally;
}

Tally updateMode(const FlashOptions &o, Reporter &reporter, RecordFile &record, LineRecording *line,
                 RunControl &control)
{
    // Read and check the image before touching any widget.
    FirmwareImage image;
    QString problem;
    if (image.load(o.imagePath, &problem, printablePath(o.imagePath)))
        problem = FirmwareUpdate::imageProblem(image, printablePath(o.imagePath));
    if (!problem.isEmpty()) {
        reporter.error(problem);
        return {ExitBadFile, 0, 0};
    }
    if (image.leftOverBytes() > 0)
        reporter.warning(QStringLiteral("%1 bytes after the last whole page will not be sent")
                             .arg(image.leftOverBytes()));
    if (!o.yes && !isTerminal(stdin)) {
        reporter.error("standard input is not a terminal: give --yes to update without asking");
        return {ExitNotConfirmed, 0, 0};
    }
    RunFacts facts;
    facts.imageFile = printable(QFileInfo(o.imagePath).fileName());
    facts.imageVersion = printable(image.versionText()); // as the questions show it too
    // Of the bytes that are sent, not of the file as it may be by now.
    facts.imageSha256 = QCryptographicHash::hash(image.fileContents(), QCryptographicHash::Sha256).toHex();
    facts.emulated = !emulationNote().isEmpty();
    facts.station = o.stationName.isEmpty() ? QSysInfo::machineHostName() : o.stationName;
    facts.toolVersion = lumora::programVersion();
    reporter.setFacts(facts);
    const QString version = QStringLiteral("FW Version %1\n").arg(facts.imageVersion);

    if (o.hasRecord) {
        QString why, note;
        if (!record.open(o.recordPath, {o.imagePath}, &why, &note)) {
            reporter.error(QStringLiteral("cannot write the record %1: %2; nothing was flashed")
                               .arg(printablePath(o.recordPath), why));
            return {ExitOutputFailed, 0, 0};
        }
        if (!note.isEmpty())
            reporter.warning(note);
        record.onNote = [&reporter](const QString &text) { reporter.warning(text); };
    }
    if (line) {
        const int code = line->start();
        if (code != ExitDone)
            return {code, 0, 0};
    }
    if (o.hasRecord || line)
        reporter.useRecord(o.hasRecord ? record.columns() : 0, line);
    const UpdateContext context{o, image, reporter, control};

    if (o.mode == RunMode::Station) {
        const QString what = o.recover ? QStringLiteral("Recover every widget plugged in from now on, whether or not"
                                                        " it identifies itself (only Lumora widgets!), until Ctrl-C?")
                                       : QStringLiteral("Update every widget plugged in from now on, until Ctrl-C?");
        if (!confirmed(context, version + what))
            return {ExitNotConfirmed, 0, 0};
        return runStation(context);
    }

    const DeviceList devices = listDevices(reporter);
    if (!devices.read)
        return {ExitFailed, 0, 0};
    QVector<int> chosen;
    QString question = version;
    if (o.mode == RunMode::AllWidgets) {
        if (devices.entries.isEmpty()) {
            reporter.error("no widget attached");
            return {ExitNoSuchDevice, 0, 0};
        }
        question += QStringLiteral("Update these %1 widgets?").arg(devices.entries.size());
        for (int i = 0; i < devices.entries.size(); ++i) {
            chosen << i;
            question += QStringLiteral("\n  %1  %2  %3").arg(i).arg(shownDescription(devices.entries[i]),
                                                                   shownSerial(devices.entries[i]));
        }
        question += QStringLiteral("\nDo you want to start update?");
    } else {
        int code = 0;
        const int index = selectDevice(devices.entries, o, reporter, &code);
        if (index < 0)
            return {code, 0, 0};
        chosen << index;
        question += o.recover ? QStringLiteral("Recover widget %1, %2 (serial %3)? It is updated without identifying"
                                               " itself: only if it is a Lumora widget waiting in its loader.")
                                    .arg(index).arg(shownDescription(devices.entries[index]),
                                                    shownSerial(devices.entries[index]))
                              : QStringLiteral("Do you want to start update?");
    }
    if (!confirmed(context, question))
        return {ExitNotConfirmed, 0, 0};
    return flashListed(context, devices.entries, chosen);
}

} // namespace

// The command line: on Linux as its very bytes (file names and serial
// strings that are not UTF-8 included, see bytetext.h), elsewhere as Qt reads it.
QStringList commandLine(int argc, char *argv[])
{
#ifdef Q_OS_LINUX
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << textFromBytes(QByteArray(argv[i]));
    return arguments;
#else
    Q_UNUSED(argc);
    Q_UNUSED(argv);
    return QCoreApplication::arguments();
#endif
}

int main(int argc, char *argv[])
{
    output::guardStandardStreams();
    RunControl &control = RunControl::install();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("lumora-flash");

    const ParsedOptions parsed = parseOptions(commandLine(argc, argv));
    // Whether real widgets are touched hangs on these variables: a typo in
    // one is bad usage, never guessed at.
    const QStringList problems = parsed.action == ParsedOptions::Bad ? QStringList{parsed.text}
                                 : parsed.action == ParsedOptions::Run ? lumora::emulatorSettingsProblems()
                                                                       : QStringList();
    if (!problems.isEmpty()) {
        output::installMessageHandler(false);
        for (const QString &problem : problems)
            output::printError(problem);
        return ExitUsage;
    }
    if (parsed.action != ParsedOptions::Run) {
        const QString text = parsed.action == ParsedOptions::Help ? parsed.text
                                                                    : lumora::versionText("lumora-flash") + '\n';
        output::post(output::Channel::Out, text.chopped(text.endsWith('\n') ? 1 : 0));
        return output::stdoutFailed() ? ExitOutputFailed : ExitDone;
    }
    const FlashOptions &o = parsed.options;
    output::installMessageHandler(o.verbose);

    Reporter reporter(o.mode, o.json);
    RecordFile record;
    std::unique_ptr<LineRecording> line;
    if (o.hasRecordDb && o.mode != RunMode::History)
        line = std::make_unique<LineRecording>(o, reporter);
    reporter.start(&record, line ? line->recorder() : nullptr);
    const QString emulated = emulationNote();
    if (!emulated.isEmpty())
        reporter.note(emulated);

    Tally tally;
    switch (o.mode) {
    case RunMode::List: tally = listMode(reporter); break;
    case RunMode::Info: tally = infoMode(o, reporter); break;
    case RunMode::History: tally = historyMode(o, reporter); break;
    case RunMode::Sync: tally = {line->start(), 0, -1}; break;
    default: tally = updateMode(o, reporter, record, line.get(), control); break;
    }
    // Standard output and the record as they are now, with what is still
    // to be written. A reader that stopped reading holds the end only
    // until one more signal.
    const int signalsAtEnd = control.signalsReceived();
    const auto anotherSignal = [&control, signalsAtEnd] { return control.signalsReceived() > signalsAtEnd; };
    output::drain(anotherSignal);
    if (output::stdoutFailed() || output::recordFailed())
        tally.code = worseExitCode(tally.code, ExitOutputFailed);
    std::optional<int> recordsPending;
    QString pendingText;
    if (line)
        tally.code = line->finish(tally.code, anotherSignal, &recordsPending, &pendingText);
    reporter.end(tally.code, tally.widgets, tally.succeeded, anotherSignal, recordsPending, pendingText);
    // The writer may be stuck in a write to that reader, holding the
    // stream: leave without flushing it.
    if (anotherSignal())
        std::_Exit(worseExitCode(tally.code, ExitOutputFailed));
    if (output::stdoutFailed())
        tally.code = worseExitCode(tally.code, ExitOutputFailed);
    return tally.code;
}

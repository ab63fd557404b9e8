// lumora-flash: lists widgets, shows what one reports, and loads a firmware
// image into it without the window, with the same link and update procedure.
#include "deviceinfo.h"
#include "firmwareimage.h"
#include "firmwareupdate.h"
#include "widgetlink.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

// Exit codes; the help text lists them.
enum ExitCode {
    ExitDone = 0,
    ExitFailed = 1,          // the device list could not be read
    ExitUsage = 2,
    ExitNoSuchDevice = 3,
    ExitOpenFailed = 4,
    ExitBadFile = 5,
    ExitPagesRefused = 6,
    ExitNotConfirmed = 7,
    ExitInterrupted = 8,
    ExitWidgetLost = 9,
    ExitOutputFailed = 10,
};

const char ExitCodeHelp[] =
    "Exit codes:\n"
    "  0  done: every page accepted (or the list / info was printed)\n"
    "  1  the device list could not be read\n"
    "  2  bad usage\n"
    "  3  no such device: none attached, index out of range, not exactly one\n"
    "     widget matches, or the widget changed between the list and the open\n"
    "  4  the widget could not be opened (the reason is on standard error)\n"
    "  5  the image file is unreadable or refused (not a regular file, no whole\n"
    "     page, too large)\n"
    "  6  the widget refused pages (the count is on standard error)\n"
    "  7  not confirmed: answered no, or no terminal and no --yes\n"
    "  8  interrupted by a signal (the page in flight was finished first)\n"
    "  9  the widget was lost during the update (unplugged or stopped working)\n"
    " 10  standard output could not be written\n";

bool gVerbose = false;
std::mutex gOutputLock;

// Set by SIGINT, SIGTERM and SIGHUP: the update stops after the page in flight.
std::atomic<int> gSignal{0};

extern "C" void onStopSignal(int signal)
{
    gSignal.store(signal);
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

void printError(const QString &text)
{
    std::lock_guard<std::mutex> lock(gOutputLock);
    std::fprintf(stderr, "lumora-flash: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

// Warnings and failures of the link and the update always reach standard
// error, one line each; --verbose adds every log line, as the window's log
// panel shows them.
void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (!gVerbose && (type == QtDebugMsg || type == QtInfoMsg))
        return;
    std::lock_guard<std::mutex> lock(gOutputLock);
    std::fprintf(stderr, "%s\n", message.simplified().toLocal8Bit().constData());
    std::fflush(stderr);
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

int listDevices(const QVector<FT_DEVICE_LIST_INFO_NODE> &devices)
{
    {
        QTextStream out(stdout);
        for (int i = 0; i < devices.size(); ++i)
            out << i << '\t' << deviceDescription(devices[i]) << '\t' << deviceSerialString(devices[i]) << '\n';
    }
    return outputWritten() ? ExitDone : ExitOutputFailed;
}

int printInfo(WidgetLink &link)
{
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
    return outputWritten() ? ExitDone : ExitOutputFailed;
}

// Asks on the terminal; anything but y/yes is no.
bool confirmed(const FirmwareImage &image)
{
    std::fprintf(stderr, "FW Version %s\nDo you want to start update? [y/N] ",
                 image.versionText().toLocal8Bit().constData());
    std::fflush(stderr);
    char answer[16] = {};
    if (!std::fgets(answer, sizeof answer, stdin))
        return false;
    const QByteArray text = QByteArray(answer).trimmed().toLower();
    return text == "y" || text == "yes";
}

// Progress on standard error: one line rewritten in place on a terminal,
// otherwise a plain line at every tenth of the pages and at the last.
class ProgressLine
{
public:
    ProgressLine() : m_terminal(isatty(fileno(stderr))) {}

    void show(int sent, int total)
    {
        const int percent = total > 0 ? sent * 100 / total : 100;
        std::lock_guard<std::mutex> lock(gOutputLock);
        if (m_terminal) {
            std::fprintf(stderr, "\rpage %d of %d (%d%%)", sent, total, percent);
            if (sent == total)
                std::fputc('\n', stderr);
        } else if (sent == total || percent / 10 != m_lastTenth) {
            std::fprintf(stderr, "page %d of %d (%d%%)\n", sent, total, percent);
        }
        m_lastTenth = percent / 10;
        std::fflush(stderr);
    }

private:
    bool m_terminal;
    int m_lastTenth = 0;
};

int flash(WidgetLink &link, const FirmwareImage &image, const QString &fileName)
{
    FirmwareUpdate update(link, image, fileName);
    ProgressLine progress;
    update.onPageSent = [&](int sent, int total) { progress.show(sent, total); };
    update.stopRequested = [] { return gSignal.load() != 0; };
    // Failures are logged by the update itself, and so reach standard error.
    switch (update.run()) {
    case FirmwareUpdate::Outcome::Done:
        std::fprintf(stderr, "%d pages written\n", update.pageCount());
        return ExitDone;
    case FirmwareUpdate::Outcome::PagesRefused:
        return ExitPagesRefused;
    case FirmwareUpdate::Outcome::Interrupted:
        return ExitInterrupted;
    case FirmwareUpdate::Outcome::DeviceLost:
        return ExitWidgetLost;
    case FirmwareUpdate::Outcome::ImageRefused:
        return ExitBadFile;
    case FirmwareUpdate::Outcome::NoDevice:
        return ExitOpenFailed;
    }
    return ExitFailed;
}

// The serial string the open widget itself reports.
QString openedSerial(const WidgetLink &link)
{
    char serial[16] = {};
    if (FT_GetDeviceInfo(link.handle, nullptr, nullptr, serial, nullptr, nullptr) != FT_OK)
        return QString();
    return deviceInfoField(serial, int(sizeof serial));
}

} // namespace

int main(int argc, char *argv[])
{
    installSignalHandlers();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("lumora-flash");
    qInstallMessageHandler(messageHandler);

    QCommandLineParser options;
    options.setApplicationDescription(
        QStringLiteral("Lists USB DMX widgets, shows what one reports, or loads FILE.bin into it.\n\n")
        + QLatin1String(ExitCodeHelp));
    options.addHelpOption();
    options.addOptions({
        {"list", "List the attached widgets: index, description, serial."},
        {"info", "Open the widget and show its serial number, firmware and DMX timing."},
        {{"d", "device"}, "Use the widget at index <N> of the list.", "N"},
        {{"s", "serial"}, "Use the widget whose serial string is <SN>.", "SN"},
        {{"y", "yes"}, "Start the update without asking."},
        {{"v", "verbose"}, "Show the program's log lines on standard error."},
    });
    options.addPositionalArgument("FILE.bin", "Firmware image to load.");
    if (!options.parse(QCoreApplication::arguments())) {
        printError(options.errorText());
        return ExitUsage;
    }
    if (options.isSet("help")) {
        std::fputs(options.helpText().toLocal8Bit().constData(), stdout);
        return outputWritten() ? ExitDone : ExitOutputFailed;
    }
    gVerbose = options.isSet("verbose");

    const QStringList files = options.positionalArguments();
    const bool list = options.isSet("list");
    const bool info = options.isSet("info");
    if (int(list) + int(info) + int(!files.isEmpty()) != 1 || files.size() > 1) {
        printError("give exactly one of --list, --info or FILE.bin (see --help)");
        return ExitUsage;
    }
    if (options.isSet("device") && options.isSet("serial")) {
        printError("--device and --serial exclude each other");
        return ExitUsage;
    }

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
        if (!options.isSet("yes") && !isatty(fileno(stdin))) {
            printError("standard input is not a terminal: give --yes to update without asking");
            return ExitNotConfirmed;
        }
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
    if (list)
        return listDevices(devices);

    const Selection selection = selectDevice(devices, options);
    if (selection.index < 0) {
        printError(selection.error);
        return selection.code;
    }
    const QString chosenSerial = deviceSerialString(devices[selection.index]);

    if (!files.isEmpty() && !options.isSet("yes") && !confirmed(image)) {
        printError("update not started");
        return ExitNotConfirmed;
    }
    if (gSignal.load()) {
        printError("interrupted before the update started; nothing was sent");
        return ExitInterrupted;
    }

    // The device list entry the user chose, and only that one: a widget
    // pulled out since does not open, and no other takes its place.
    WidgetLink link;
    link.reportStream = nullptr; // --info prints the refresh rate itself
    if (!link.open(selection.index)) {
        printError(QStringLiteral("cannot open widget %1 (serial %2)").arg(selection.index).arg(chosenSerial));
        return ExitOpenFailed;
    }
    const QString serial = openedSerial(link);
    if (!chosenSerial.isEmpty() && serial != chosenSerial) {
        link.close();
        printError(QStringLiteral("widget %1 reports serial %2, not %3: it was replaced after the list was read;"
                                  " nothing was sent")
                       .arg(selection.index).arg(serial, chosenSerial));
        return ExitNoSuchDevice;
    }
    const int result = info ? printInfo(link) : flash(link, image, files.first());
    link.close();
    return result;
}

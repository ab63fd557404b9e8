#include "widgetjob.h"
#include "deviceinfo.h"
#include "exitcodes.h"
#include "firmwareupdate.h"
#include "widgetlink.h"

#include <QElapsedTimer>

namespace {

// The serial string the open widget itself reports.
QByteArray openedSerial(const WidgetLink &link)
{
    char serial[16] = {};
    if (FT_GetDeviceInfo(link.handle, nullptr, nullptr, serial, nullptr, nullptr) != FT_OK)
        return QByteArray();
    return deviceInfoField(serial, int(sizeof serial)).toLatin1();
}

WidgetResult resultOf(FirmwareUpdate::Outcome outcome)
{
    switch (outcome) {
    case FirmwareUpdate::Outcome::Done: return WidgetResult::Done;
    case FirmwareUpdate::Outcome::PagesRefused: return WidgetResult::PagesRefused;
    case FirmwareUpdate::Outcome::StoppedAnswering: return WidgetResult::StoppedAnswering;
    case FirmwareUpdate::Outcome::Interrupted: return WidgetResult::Interrupted;
    case FirmwareUpdate::Outcome::DeviceLost:
    case FirmwareUpdate::Outcome::NoDevice: return WidgetResult::WidgetLost;
    case FirmwareUpdate::Outcome::ImageRefused: break;
    }
    return WidgetResult::OpenFailed;
}

} // namespace

void flashWidget(WidgetRun &run, const FirmwareImage &image, const QString &fileName, const WidgetJobHooks &hooks)
{
    QElapsedTimer clock;
    clock.start();
    WidgetLink link;
    link.reportStream = nullptr;
    const bool opened = run.bySerial ? link.openWidgetBySerial(run.serial).identified() : link.open(run.index);
    if (!opened) {
        run.result = WidgetResult::OpenFailed;
        run.message = link.errorString();
        run.seconds = clock.elapsed() / 1000.0;
        return;
    }
    // The list entry chosen must still be that widget, not one plugged in
    // where it was.
    const QByteArray serial = openedSerial(link);
    if (!run.serial.isEmpty() && serial != run.serial) {
        link.close();
        run.result = WidgetResult::NotChosen;
        run.message = QStringLiteral("widget %1 reports serial %2, not %3: it was replaced after the list was read;"
                                     " nothing was sent")
                          .arg(run.index).arg(QString::fromLatin1(serial), QString::fromLatin1(run.serial));
        run.seconds = clock.elapsed() / 1000.0;
        return;
    }
    run.firmwareBefore = QStringLiteral("%1.%2").arg(link.params.firmwareMsb).arg(link.params.firmwareLsb);
    if (hooks.opened)
        hooks.opened(run);

    FirmwareUpdate update(link, image, fileName);
    update.onStarted = [&](int) { run.started = true; };
    update.onPageSent = [&](int sent, int total) {
        run.pagesSent = sent;
        if (hooks.pageSent)
            hooks.pageSent(run, sent, total);
    };
    update.stopRequested = hooks.stopRequested;
    const FirmwareUpdate::Outcome outcome = update.run();
    link.close();
    // The loader request went out even when no page followed.
    run.started = run.started || outcome == FirmwareUpdate::Outcome::DeviceLost
                  || outcome == FirmwareUpdate::Outcome::Interrupted;
    run.result = resultOf(outcome);
    run.pagesSent = update.pagesSent();
    run.pageCount = update.pageCount();
    run.pagesRefused = update.refusedPages();
    run.message = update.errorString();
    run.seconds = clock.elapsed() / 1000.0;
}

QString printable(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u < 0xA0))
            shown += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

QString WidgetRun::shownSerial() const
{
    return printable(QString::fromLatin1(serial));
}

int exitCode(WidgetResult result)
{
    switch (result) {
    case WidgetResult::Done: return ExitDone;
    case WidgetResult::Interrupted: return ExitInterrupted;
    case WidgetResult::NotChosen: return ExitNoSuchDevice;
    case WidgetResult::OpenFailed: return ExitOpenFailed;
    case WidgetResult::PagesRefused: return ExitPagesRefused;
    case WidgetResult::StoppedAnswering:
    case WidgetResult::WidgetLost: return ExitWidgetLost;
    }
    return ExitFailed;
}

const char *outcomeName(WidgetResult result)
{
    switch (result) {
    case WidgetResult::Done: return "done";
    case WidgetResult::Interrupted: return "interrupted";
    case WidgetResult::NotChosen: return "replaced";
    case WidgetResult::OpenFailed: return "open_failed";
    case WidgetResult::PagesRefused: return "pages_refused";
    case WidgetResult::StoppedAnswering: return "stopped_answering";
    case WidgetResult::WidgetLost: return "widget_lost";
    }
    return "unknown";
}

QString outcomeText(WidgetResult result)
{
    return QString::fromLatin1(outcomeName(result)).replace(QLatin1Char('_'), QLatin1Char(' '));
}

int worseExitCode(int a, int b)
{
    // Most severe first: a widget lost, pages refused, no open, the wrong
    // widget, an interruption, output not written, then success.
    static const int order[] = {ExitWidgetLost, ExitPagesRefused, ExitOpenFailed, ExitNoSuchDevice,
                                ExitInterrupted, ExitOutputFailed, ExitDone};
    for (int code : order)
        if (a == code || b == code)
            return code;
    return qMax(a, b);
}

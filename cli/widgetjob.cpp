#include "widgetjob.h"
#include "deviceinfo.h"
#include "firmwareupdate.h"
#include "widgetlink.h"

#include <QElapsedTimer>

namespace {

WidgetResult resultOf(FirmwareUpdate::Outcome outcome)
{
    switch (outcome) {
    case FirmwareUpdate::Outcome::Done: return WidgetResult::Done;
    case FirmwareUpdate::Outcome::PagesRefused: return WidgetResult::PagesRefused;
    case FirmwareUpdate::Outcome::StoppedAnswering: return WidgetResult::StoppedAnswering;
    case FirmwareUpdate::Outcome::Interrupted: return WidgetResult::Interrupted;
    case FirmwareUpdate::Outcome::NotStarted: return WidgetResult::NotStarted;
    case FirmwareUpdate::Outcome::DeviceLost:
    case FirmwareUpdate::Outcome::NoDevice: return WidgetResult::WidgetLost;
    case FirmwareUpdate::Outcome::ImageRefused: break;
    }
    return WidgetResult::OpenFailed;
}

// Opens the USB device and makes sure it is the one chosen; an empty text
// when it is, else why not (and `result` says how it ended).
QString openChosen(WidgetLink &link, WidgetRun &run, WidgetResult *result)
{
    *result = WidgetResult::OpenFailed;
    const QString name = run.arrived ? run.shownSerial() : QString::number(run.index);
    const OpenResult opened = link.openDeviceAt(run.device, name);
    if (!opened.deviceOpen())
        return opened.reason;
    // The list entry chosen must still be that widget, not one plugged in
    // where it was.
    QByteArray serial;
    if (!link.reportedSerial(&serial))
        return QStringLiteral("widget %1: %2").arg(name, link.errorString());
    if (!run.serial.isEmpty() && serial != run.serial) {
        *result = WidgetResult::NotChosen;
        return QStringLiteral("widget %1 reports serial %2, not %3: it was replaced after the list was read;"
                              " nothing was sent")
            .arg(name, printable(deviceText(serial)), run.shownSerial());
    }
    // A widget waiting in its loader answers once it has a whole image; a
    // recovery asks once, and goes on either way.
    const OpenResult who = link.identify(run.recover ? 1 : 2);
    run.identified = who.identified();
    if (run.identified)
        run.firmwareBefore = QStringLiteral("%1.%2").arg(link.params.firmwareMsb).arg(link.params.firmwareLsb);
    else if (!run.recover)
        return QStringLiteral("Widget %1 opened but does not answer its parameter request. If its last update was"
                              " cut off it waits in its loader: update it with --recover (only if this is a Lumora"
                              " widget: --recover sends firmware to whatever is attached)")
            .arg(name);
    return QString();
}

} // namespace

void flashWidget(WidgetRun &run, const FirmwareImage &image, const QString &fileName, const WidgetJobHooks &hooks)
{
    QElapsedTimer clock;
    clock.start();
    WidgetLink link;
    link.reportStream = nullptr;
    auto finish = [&](WidgetResult result, const QString &message) {
        link.close();
        run.result = result;
        run.message = message;
        run.seconds = clock.elapsed() / 1000.0;
        run.finishedAt = QDateTime::currentDateTimeUtc();
    };

    if (hooks.stopBeforeStart && hooks.stopBeforeStart())
        return finish(WidgetResult::NotStarted,
                      QStringLiteral("stopped before the update: nothing was sent; the widget is unchanged"));
    WidgetResult refused;
    const QString whyNot = openChosen(link, run, &refused);
    if (!whyNot.isEmpty())
        return finish(refused, whyNot);
    if (hooks.opened)
        hooks.opened(run);

    FirmwareUpdate update(link, image, fileName);
    update.onPageSent = [&](int sent, int total) {
        run.pagesSent = sent;
        run.pageCount = total;
        if (hooks.pageSent)
            hooks.pageSent(run, sent, total);
    };
    update.stopBeforeStart = hooks.stopBeforeStart;
    update.stopRequested = hooks.stopRequested;
    const FirmwareUpdate::Outcome outcome = update.run();
    run.started = update.loaderEntered();
    run.pagesSent = update.pagesSent();
    run.pageCount = update.pageCount();
    run.pagesRefused = update.refusedPages();
    finish(resultOf(outcome), update.errorString());
}

QString printable(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u < 0xA0) || u == '\\')
            shown += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

QString WidgetRun::shownSerial() const
{
    return printable(deviceText(serial));
}

QString WidgetRun::shownName() const
{
    return sameSerialAsAnother ? QStringLiteral("%1 #%2").arg(shownSerial()).arg(index) : shownSerial();
}

#include "widgetjob.h"
#include "bytetext.h"
#include "firmwareupdate.h"
#include "sleep.h"
#include "widgetlink.h"

#include <QElapsedTimer>

#include <QUuid>

namespace {

// Opens the USB device and makes sure it is the one chosen; an empty text
// when it is, else why not (and `result` says how it ended).
QString openChosen(WidgetLink &link, WidgetRun &run, WidgetResult *result)
{
    *result = WidgetResult::OpenFailed;
    const QString name = run.openName();
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
            .arg(name, printable(textFromBytes(serial)), run.shownSerial());
    }
    // A widget waiting in its loader answers once it has a whole image; a
    // recovery asks once, and goes on either way: its silence is expected.
    link.warnOnFailure = !run.recover;
    const OpenResult who = link.identify(run.recover ? 1 : 2);
    link.warnOnFailure = true;
    run.identified = who.identified();
    if (run.identified)
        run.firmwareBefore = QStringLiteral("%1.%2").arg(link.params.firmwareMsb).arg(link.params.firmwareLsb);
    else if (who.stage == OpenStage::Unreachable)
        return who.reason; // no silence to read anything into: the line itself failed
    else if (!run.recover)
        return QStringLiteral("Widget %1 opened but does not answer its parameter request. If its last update was"
                              " cut off it waits in its loader: update it with --recover (only if this is a Lumora"
                              " widget: --recover sends firmware to whatever is attached)")
            .arg(name);
    return QString();
}

} // namespace

WidgetRun::WidgetRun()
    : attemptId(QUuid::createUuid().toString(QUuid::WithoutBraces))
{
}

QString shownDescription(const lumora::DeviceEntry &entry)
{
    return printable(textFromBytes(entry.description));
}

QString shownSerial(const lumora::DeviceEntry &entry)
{
    return printable(textFromBytes(entry.serial));
}

WidgetRun::WidgetRun(const lumora::DeviceEntry &entry, int index, bool recover)
    : WidgetRun()
{
    this->index = index;
    device = entry;
    serial = entry.serial;
    description = shownDescription(entry);
    this->recover = recover;
}

// What the widget said after its restart decides the outcome of an update
// whose every page was accepted.
WidgetResult verifiedResult(WidgetRun &run, const Verification &v)
{
    run.verify = v.verify;
    run.firmwareAfter = v.firmwareAfter;
    if (v.stopped)
        return WidgetResult::Interrupted;
    if (v.replaced)
        return WidgetResult::NotChosen;
    return v.verify == Verify::Mismatch || v.verify == Verify::NoAnswer ? WidgetResult::NotVerified : WidgetResult::Done;
}

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
    update.stopBeforeStart = [&hooks] {
        return hooks.enterLoader ? !hooks.enterLoader() : hooks.stopBeforeStart && hooks.stopBeforeStart();
    };
    update.stopRequested = hooks.stopRequested;
    const FirmwareUpdate::Outcome outcome = update.run();
    run.started = update.loaderEntered();
    run.pagesSent = update.pagesSent();
    run.pageCount = update.pageCount();
    run.pagesRefused = update.refusedPages();
    if (outcome != FirmwareUpdate::Outcome::Done || !hooks.verify) {
        run.messageLogged = true; // the update logs its failures itself
        return finish(resultOfUpdate(outcome), update.errorString());
    }

    WidgetIdentity widget;
    widget.location = run.device.location;
    widget.serialString = run.serial;
    widget.hasSerialNumber = link.identifiedSerialNumber(&widget.serialNumber);
    widget.name = run.openName();
    const Verification checked = verifyAfterRestart(link, widget, image.versionText(), lumora::hardwareWaitLimitMs(RestartLimitMs),
                                                    hooks.stopRequested);
    finish(verifiedResult(run, checked), checked.message);
}

QString printable(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    auto escape = [&shown](uint byte) { shown += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0')); };
    for (const QChar c : text) {
        const ushort u = c.unicode();
        unsigned char byte = 0;
        if (isEscapedByte(c, &byte)) {
            escape(byte);
        } else if (u < 0x20 || u == 0x7F || u == '\\') {
            escape(u);
        } else if (u >= 0x80 && u < 0xA0) { // a C1 control: its two bytes
            escape(0xC2);
            escape(u);
        } else {
            shown += c;
        }
    }
    return shown;
}

bool textFromPrintable(const QString &printed, QString *text)
{
    auto at = [&printed](int i) { return i < printed.size() ? printed[i].unicode() : 0; };
    auto hexDigit = [&at](int i) {
        const int u = at(i);
        return u >= '0' && u <= '9'   ? u - '0'
               : u >= 'a' && u <= 'f' ? u - 'a' + 10
               : u >= 'A' && u <= 'F' ? u - 'A' + 10
                                      : -1;
    };
    QByteArray bytes;
    int plainFrom = 0;
    for (int i = printed.indexOf('\\'); i >= 0; i = printed.indexOf('\\', plainFrom)) {
        if (at(i + 1) != 'x' || hexDigit(i + 2) < 0 || hexDigit(i + 3) < 0)
            return false;
        bytes += bytesFromText(printed.mid(plainFrom, i - plainFrom));
        bytes += char(hexDigit(i + 2) * 16 + hexDigit(i + 3));
        plainFrom = i + 4;
    }
    *text = textFromBytes(bytes + bytesFromText(printed.mid(plainFrom)));
    return true;
}

QString printablePath(const QString &path)
{
#ifdef _WIN32
    return path;
#else
    return printable(path);
#endif
}

QString WidgetRun::shownSerial() const
{
    return printable(textFromBytes(serial));
}

QString WidgetRun::openName() const
{
    return arrived ? shownSerial() : QString::number(index);
}

QString WidgetRun::shownName() const
{
    return sameSerialAsAnother ? QStringLiteral("%1 #%2").arg(shownSerial()).arg(index) : shownSerial();
}

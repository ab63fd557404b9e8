#include "updateverification.h"
#include "bytetext.h"
#include "deviceinfo.h"
#include "firmwareupdate.h"
#include "widgetlink.h"

#include <QElapsedTimer>
#include <QRegularExpression>

#include <algorithm>
#include <utility>

namespace {

// Between two looks for the widget: it may be on its way back.
constexpr int LookAgainMs = 100;

} // namespace

const char *verifyName(Verify verify)
{
    switch (verify) {
    case Verify::Verified: return "verified";
    case Verify::Mismatch: return "mismatch";
    case Verify::NoAnswer: return "no_answer";
    case Verify::Unchecked: return "unchecked";
    case Verify::Skipped: break;
    }
    return "skipped";
}

bool versionNumbers(const QString &versionLine, int *major, int *minor)
{
    static const QRegularExpression mn(QStringLiteral("^(\\d{1,3})\\.(\\d{1,3})$"));
    const QRegularExpressionMatch match = mn.match(versionLine.trimmed());
    if (!match.hasMatch() || match.captured(1).toInt() > 255 || match.captured(2).toInt() > 255)
        return false;
    *major = match.captured(1).toInt();
    *minor = match.captured(2).toInt();
    return true;
}

Verification verifyAfterRestart(WidgetLink &link, const WidgetIdentity &widget, const QString &imageVersion,
                                int limitMs, const std::function<bool()> &stop)
{
    Verification result;
    QElapsedTimer clock;
    link.close(); // the widget restarts once the host lets go of it
    clock.start();
    // Until it is back, every open may fail; only the end result counts.
    struct Quiet {
        WidgetLink &link;
        bool was;
        ~Quiet() { link.warnOnFailure = was; }
    } quiet{link, std::exchange(link.warnOnFailure, false)};
    qCDebug(lcUpdate, "Waiting for the widget to restart with its new firmware");

    QByteArray otherSerial;
    for (;;) {
        if (stop && stop()) {
            result.stopped = true;
            result.message = QStringLiteral("updated, but stopped before the widget was asked after its restart:"
                                            " its firmware was not checked");
            return result;
        }
        const lumora::DeviceList list = attachedDevices();
        lumora::DeviceEntry entry;
        if (findAtPort(list, widget.location, widget.serialString, &entry, &otherSerial)
            && link.openDeviceAt(entry, widget.name).deviceOpen() && link.identify().identified()) {
            const WidgetParams params = link.params;
            uint32_t serialNumber = 0;
            const bool saidSerial = link.identifiedSerialNumber(&serialNumber);
            link.close();
            result.firmwareAfter = QStringLiteral("%1.%2").arg(params.firmwareMsb).arg(params.firmwareLsb);
            if (widget.hasSerialNumber && saidSerial && serialNumber != widget.serialNumber) {
                result.verify = Verify::NoAnswer;
                result.replaced = true;
                result.message = QStringLiteral("updated, but the widget on its port now reports serial number %1,"
                                                " not %2: another widget answered in its place")
                                     .arg(serialNumber, 0, 16).arg(widget.serialNumber, 0, 16);
                return result;
            }
            int major = 0, minor = 0;
            if (!versionNumbers(imageVersion, &major, &minor))
                result.verify = Verify::Unchecked;
            else if (params.firmwareMsb == major && params.firmwareLsb == minor)
                result.verify = Verify::Verified;
            else
                result.verify = Verify::Mismatch;
            if (result.verify == Verify::Mismatch)
                result.message = QStringLiteral("updated, but the widget reports firmware %1, not %2: the image did"
                                                " not take (update it again), or its version line does not follow"
                                                " the firmware's version")
                                     .arg(result.firmwareAfter, imageVersion.trimmed());
            qCDebug(lcUpdate).noquote() << QStringLiteral("After its restart the widget reports firmware %1")
                                               .arg(result.firmwareAfter);
            return result;
        }
        link.close();
        const qint64 left = limitMs - clock.elapsed();
        if (left <= 0)
            break;
        // Back as a new device, it shows as a change of this very list.
        waitForDeviceChange(list, int(std::min<qint64>(left, LookAgainMs)));
    }
    result.verify = Verify::NoAnswer;
    if (!otherSerial.isEmpty()) {
        result.replaced = true;
        result.message = QStringLiteral("updated, but the widget did not come back after its restart: a device with"
                                        " serial %1 is on its port")
                             .arg(textFromBytes(otherSerial));
    } else {
        result.message = QStringLiteral("updated, but the widget did not answer after its restart: unplug it, plug"
                                        " it in again and ask it what it runs; if it still does not answer, update"
                                        " it again");
    }
    return result;
}

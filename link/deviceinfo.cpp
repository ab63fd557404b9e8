#include "deviceinfo.h"
#include "bytetext.h"
#include "d2xxbackend.h"

#include <cstring>
#include <memory>
#include <new>

QString deviceInfoField(const char *field, int width)
{
    const void *nul = std::memchr(field, 0, size_t(width));
    const int length = nul ? int(static_cast<const char *>(nul) - field) : width;
    return textFromBytes(QByteArray(field, length));
}

QString deviceDescription(const FT_DEVICE_LIST_INFO_NODE &node)
{
    return deviceInfoField(node.Description, int(sizeof node.Description));
}

QString deviceSerialString(const FT_DEVICE_LIST_INFO_NODE &node)
{
    return deviceInfoField(node.SerialNumber, int(sizeof node.SerialNumber));
}

DWORD findAtPort(DWORD location, const QByteArray &serial, QByteArray *otherSerial)
{
    DWORD count = 0;
    if (FT_CreateDeviceInfoList(&count) != FT_OK)
        return 0;
    for (const FT_DEVICE_LIST_INFO_NODE &node : readDeviceInfoList(count)) {
        if (portOfLocation(node.LocId) != portOfLocation(location))
            continue;
        const QByteArray listed(node.SerialNumber, int(strnlen(node.SerialNumber, sizeof node.SerialNumber)));
        if (listed == serial && !(node.Flags & FT_FLAGS_OPENED))
            return node.LocId;
        if (listed != serial && otherSerial)
            *otherSerial = listed;
    }
    return 0;
}

QVector<FT_DEVICE_LIST_INFO_NODE> readDeviceInfoList(DWORD count)
{
    QVector<FT_DEVICE_LIST_INFO_NODE> list;
    if (count == 0)
        return list;
    std::unique_ptr<FT_DEVICE_LIST_INFO_NODE[]> buffer(new (std::nothrow) FT_DEVICE_LIST_INFO_NODE[count]);
    if (!buffer)
        return list;
    const DWORD capacity = count;
    if (FT_GetDeviceInfoList(buffer.get(), &count) != FT_OK)
        return list;
    for (DWORD i = 0; i < count && i < capacity; ++i)
        list.append(buffer[i]);
    return list;
}

QString unreadableDevicesNote(const QVector<FT_DEVICE_LIST_INFO_NODE> &devices)
{
    int unreadable = 0;
    for (const FT_DEVICE_LIST_INFO_NODE &node : devices)
        unreadable += node.SerialNumber[0] == 0 && node.Description[0] == 0;
    if (unreadable == 0)
        return QString();
    const std::string reason = lumora::d2xxBackend().errorText(nullptr);
    return QStringLiteral("%1 of %2 devices could not be asked for their description and serial number: %3")
        .arg(unreadable).arg(devices.size())
        .arg(reason.empty() ? QStringLiteral("no permission to use them? Install the udev rule or join the plugdev"
                                             " group (see the README), then plug them in again")
                            : QString::fromStdString(reason));
}

QString emulationNote()
{
    if (std::strcmp(lumora::d2xxBackend().name(), "emulated") != 0)
        return QString();
    return QStringLiteral("emulated widgets (LUMORA_EMULATOR=%1): no real widget is touched")
        .arg(QString::fromLocal8Bit(qgetenv("LUMORA_EMULATOR")));
}

bool waitForDeviceChange(int timeoutMs)
{
    return lumora::d2xxBackend().waitForDeviceChange(timeoutMs);
}

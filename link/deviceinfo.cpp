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

bool findAtPort(const lumora::DeviceList &list, DWORD location, const QByteArray &serial, lumora::DeviceEntry *found,
                QByteArray *otherSerial)
{
    for (const lumora::DeviceEntry &entry : list.entries) {
        if (portOfLocation(entry.location) != portOfLocation(location))
            continue;
        if (entry.serial == serial && !entry.heldBy) {
            *found = entry;
            return true;
        }
        if (entry.serial != serial && otherSerial)
            *otherSerial = entry.serial;
    }
    return false;
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

namespace {

QString unreadableNote(int unreadable, int listed, const std::string &reason)
{
    if (unreadable == 0)
        return QString();
    return QStringLiteral("%1 of %2 devices could not be asked for their description and serial number: %3")
        .arg(unreadable).arg(listed)
        .arg(reason.empty() ? QStringLiteral("no permission to use them? Install the udev rule or join the plugdev"
                                             " group (see the README), then plug them in again")
                            : QString::fromStdString(reason));
}

} // namespace

QString unreadableDevicesNote(const QVector<FT_DEVICE_LIST_INFO_NODE> &devices)
{
    int unreadable = 0;
    for (const FT_DEVICE_LIST_INFO_NODE &node : devices)
        unreadable += node.SerialNumber[0] == 0 && node.Description[0] == 0;
    return unreadableNote(unreadable, devices.size(),
                          unreadable ? lumora::d2xxBackend().errorText(nullptr) : std::string());
}

QString unreadableDevicesNote(const lumora::DeviceList &devices)
{
    int unreadable = 0;
    for (const lumora::DeviceEntry &entry : devices.entries)
        unreadable += !entry.stringsRead;
    return unreadableNote(unreadable, devices.entries.size(), devices.why);
}

QString emulationNote()
{
    if (std::strcmp(lumora::d2xxBackend().name(), "emulated") != 0)
        return QString();
    return QStringLiteral("emulated widgets (LUMORA_EMULATOR=%1): no real widget is touched")
        .arg(QString::fromLocal8Bit(qgetenv("LUMORA_EMULATOR")));
}

lumora::DeviceList attachedDevices()
{
    return lumora::d2xxBackend().listDevices();
}

bool waitForDeviceChange(const lumora::DeviceList &since, int timeoutMs)
{
    return lumora::d2xxBackend().waitForDeviceChange(since, timeoutMs);
}

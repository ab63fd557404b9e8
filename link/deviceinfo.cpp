#include "deviceinfo.h"

#include <cstring>
#include <memory>
#include <new>

QString deviceInfoField(const char *field, int width)
{
    const void *nul = std::memchr(field, 0, size_t(width));
    const int length = nul ? int(static_cast<const char *>(nul) - field) : width;
    return QString::fromLatin1(field, length);
}

QString deviceDescription(const FT_DEVICE_LIST_INFO_NODE &node)
{
    return deviceInfoField(node.Description, int(sizeof node.Description));
}

QString deviceSerialString(const FT_DEVICE_LIST_INFO_NODE &node)
{
    return deviceInfoField(node.SerialNumber, int(sizeof node.SerialNumber));
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

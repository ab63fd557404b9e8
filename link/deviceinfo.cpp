#include "deviceinfo.h"

#include <cstring>

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

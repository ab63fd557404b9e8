// The attached devices as a value: what a listing found, entry by entry,
// and the point in the bus's history at which it was made. Any number of
// threads may list, keep their lists, open entries and wait for changes at
// once; no listing or open changes anyone else's list.
#ifndef LUMORA_DEVICELIST_H
#define LUMORA_DEVICELIST_H

#include "ftd2xx.h"

#include <QByteArray>
#include <QVector>

#include <memory>
#include <string>

namespace lumora {

struct DeviceEntry
{
    // Tells apart every device attached at once and changes when one is
    // plugged in again (see FT_DEVICE_LIST_INFO_NODE.LocId).
    DWORD location = 0;
    ULONG type = FT_DEVICE_UNKNOWN;
    ULONG id = 0; // vendor << 16 | product
    // The handle of this process that holds the device; null when none does.
    FT_HANDLE heldBy = nullptr;
    // False when the device could not be asked for its strings (no
    // permission, busy): they are empty then, and the list says why.
    bool stringsRead = true;
    // Whole, as UTF-8 bytes: what the device reports (textFromBytes() shows them).
    QByteArray serial;
    QByteArray description;
    // The backend's own reference to the very device listed (for libusb,
    // its libusb_device), so that an open reaches that device or none.
    std::shared_ptr<void> device;
};

struct DeviceList
{
    // False when the devices could not be listed at all; `why` says why.
    bool read = false;
    // The count of arrivals and departures the backend had seen when the
    // listing began: a change during the listing counts as after it.
    unsigned generation = 0;
    QVector<DeviceEntry> entries;
    // Why the list could not be made, or why some entries have no strings.
    std::string why;
};

} // namespace lumora

#endif

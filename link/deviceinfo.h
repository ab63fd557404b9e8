#ifndef LUMORA_DEVICEINFO_H
#define LUMORA_DEVICEINFO_H

#include "devicelist.h"
#include "ftd2xx.h"

#include <QString>
#include <QVector>

// A fixed-width string field of a device record, read as textFromBytes()
// (see bytetext.h) up to its first NUL and never past its width: USB
// strings are Unicode, carried as UTF-8, and bytes that are not UTF-8 stay
// told apart.
QString deviceInfoField(const char *field, int width);
QString deviceDescription(const FT_DEVICE_LIST_INFO_NODE &node);
QString deviceSerialString(const FT_DEVICE_LIST_INFO_NODE &node);

// One line when some devices were listed without description and serial
// number (they could not be asked: no permission, or busy), with the reason
// when the backend knows it; empty when every device could be read.
QString unreadableDevicesNote(const QVector<FT_DEVICE_LIST_INFO_NODE> &devices);
QString unreadableDevicesNote(const lumora::DeviceList &devices);

// When the emulated widgets stand in for USB, a line that says so
// ("emulated widgets (LUMORA_EMULATOR=2): no real widget is touched");
// empty on real USB.
QString emulationNote();

// The devices attached now, as a value of the caller's own (see
// devicelist.h); safe from any thread at any time.
lumora::DeviceList attachedDevices();
// Returns true as soon as widgets were plugged in or pulled out since
// `since` was listed (at once when that happened already), false after
// `timeoutMs` without a change.
bool waitForDeviceChange(const lumora::DeviceList &since, int timeoutMs);

// Where a device sits, without the address the bus gave it: a device that
// restarts may come back as a new device (a new address) on the same port.
inline DWORD portOfLocation(DWORD location) { return location & 0xFFFFFF00u; }

// The entry of `list` on the port of `location` whose serial string is
// `serial`, held by no handle; false when there is none. When another
// device sits on that port, `otherSerial` gets its serial string.
bool findAtPort(const lumora::DeviceList &list, DWORD location, const QByteArray &serial, lumora::DeviceEntry *found,
                QByteArray *otherSerial = nullptr);

// The records of the list FT_CreateDeviceInfoList built with `count`
// devices; empty when they cannot be read. Never more than `count`.
QVector<FT_DEVICE_LIST_INFO_NODE> readDeviceInfoList(DWORD count);

#endif

#ifndef LUMORA_DEVICEINFO_H
#define LUMORA_DEVICEINFO_H

#include "ftd2xx.h"

#include <QString>
#include <QVector>

// A fixed-width string field of a device record, read up to its first NUL
// and never past its width. USB strings are Unicode, carried as UTF-8: read
// as Latin-1 they would come out garbled; bytes that are not UTF-8 stay
// told apart (see bytetext.h).
QString deviceInfoField(const char *field, int width);
QString deviceDescription(const FT_DEVICE_LIST_INFO_NODE &node);
QString deviceSerialString(const FT_DEVICE_LIST_INFO_NODE &node);

// One line when some devices were listed without description and serial
// number (they could not be asked: no permission, or busy), with the reason
// when the backend knows it; empty when every device could be read.
QString unreadableDevicesNote(const QVector<FT_DEVICE_LIST_INFO_NODE> &devices);

// When the emulated widgets stand in for USB, a line that says so
// ("emulated widgets (LUMORA_EMULATOR=2): no real widget is touched");
// empty on real USB.
QString emulationNote();

// Returns when widgets may have been plugged in or pulled out, or after
// `timeoutMs`; true when the backend was told of a change.
bool waitForDeviceChange(int timeoutMs);

// Where a device sits, without the address the bus gave it: a device that
// restarts may come back as a new device (a new address) on the same port.
inline DWORD portOfLocation(DWORD location) { return location & 0xFFFFFF00u; }

// The LocId of the attached device, held by no handle, on the port of
// `location` whose serial string is `serial`; 0 when there is none now. When
// another device sits on that port, `otherSerial` gets its serial string.
DWORD findAtPort(DWORD location, const QByteArray &serial, QByteArray *otherSerial = nullptr);

// The records of the list FT_CreateDeviceInfoList built with `count`
// devices; empty when they cannot be read. Never more than `count`.
QVector<FT_DEVICE_LIST_INFO_NODE> readDeviceInfoList(DWORD count);

#endif

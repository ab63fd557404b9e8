#ifndef LUMORA_DEVICEINFO_H
#define LUMORA_DEVICEINFO_H

#include "devicelist.h"
#include "ftd2xx.h"

#include <QString>
#include <QVector>

// Device strings are bytes: UTF-8 as a USB device reports its strings, or
// whatever an emulated widget was given. As text, each byte of a sequence
// that is not UTF-8 becomes the lone surrogate U+DC80..U+DCFF (U+DC00 + the
// byte), so that different bytes always read as different text;
// deviceBytes() is the exact inverse.
QString deviceText(const QByteArray &bytes);
QByteArray deviceBytes(const QString &text);
// How many bytes of `bytes`, at most `limit`, end between two characters
// (a byte that is not UTF-8 counts as a character of its own).
int wholeCharacters(const QByteArray &bytes, int limit);

// A fixed-width string field of a device record, read as deviceText() up to
// its first NUL and never past its width.
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

// The records of the list FT_CreateDeviceInfoList built with `count`
// devices; empty when they cannot be read. Never more than `count`.
QVector<FT_DEVICE_LIST_INFO_NODE> readDeviceInfoList(DWORD count);

#endif

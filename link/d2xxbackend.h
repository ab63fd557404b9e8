// What a device backend provides behind the D2XX functions. The functions in
// d2xx.cpp check their arguments and hand the call to the backend chosen at
// start-up; a backend validates its own handles. Backends may be called from
// several threads at once, each thread on handles of its own.
#ifndef LUMORA_D2XXBACKEND_H
#define LUMORA_D2XXBACKEND_H

#include "ftd2xx.h"

#include <string>

namespace lumora {

class D2xxBackend
{
public:
    virtual ~D2xxBackend() = default;

    virtual const char *name() const = 0;
    // Builds the device list that FT_GetDeviceInfoList reads and that
    // FT_Open's index refers to.
    virtual FT_STATUS createDeviceInfoList(DWORD *count) = 0;
    // Writes at most `capacity` records of the list made by the last
    // createDeviceInfoList and sets `count` to how many it wrote.
    virtual FT_STATUS getDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *dest, DWORD capacity, DWORD *count) = 0;
    virtual FT_STATUS deviceCount(DWORD *count) = 0;
    // Opens entry `index` of the last device list (of the devices attached
    // now when no list was made yet); fails when that device is gone, and
    // never opens another in its place.
    virtual FT_STATUS open(int index, FT_HANDLE *handle) = 0;
    // Opens the attached device with this serial string that no handle holds.
    // This one makes a device list of its own and opens from it.
    virtual FT_STATUS openBySerial(const char *serial, FT_HANDLE *handle);
    // Opens the attached device with this LocId, which tells apart every
    // device attached at once and changes when a device is plugged in again.
    virtual FT_STATUS openByLocation(DWORD location, FT_HANDLE *handle);
    virtual FT_STATUS close(FT_HANDLE handle) = 0;
    virtual FT_STATUS read(FT_HANDLE handle, unsigned char *buffer, DWORD count, DWORD *delivered) = 0;
    virtual FT_STATUS write(FT_HANDLE handle, const unsigned char *buffer, DWORD count, DWORD *written) = 0;
    virtual FT_STATUS purge(FT_HANDLE handle, ULONG mask) = 0;
    virtual FT_STATUS setTimeouts(FT_HANDLE handle, ULONG readMs, ULONG writeMs) = 0;
    virtual FT_STATUS latencyTimer(FT_HANDLE handle, UCHAR *timer) = 0;
    // A transport without a chip that holds bytes back has nothing to set.
    virtual FT_STATUS setChars(FT_HANDLE handle, UCHAR eventChar, bool eventEnabled, UCHAR errorChar,
                               bool errorEnabled)
    {
        (void)handle, (void)eventChar, (void)eventEnabled, (void)errorChar, (void)errorEnabled;
        return FT_OK;
    }
    virtual FT_STATUS driverVersion(FT_HANDLE handle, DWORD *version) = 0;
    // Serial string and description as the open device itself reports them
    // (`serial` holds 16 bytes, `description` 64, both NUL-terminated).
    virtual FT_STATUS deviceInfo(FT_HANDLE handle, ULONG *type, DWORD *id, char *serial, char *description) = 0;

    // Returns when devices may have come or gone, or after `timeoutMs`; true
    // when it knows of a change. Without notice of arrivals it just waits.
    virtual bool waitForDeviceChange(int timeoutMs);

    // Why the last call on `handle` failed, in words that say what to do;
    // for a null handle, why the calling thread's last open or device list
    // failed. Empty when the backend has nothing to add to the status.
    virtual std::string errorText(FT_HANDLE handle) { (void)handle; return std::string(); }
};

// The backend every D2XX call goes to, chosen at the first call: the
// emulated widgets when LUMORA_EMULATOR is set (its value: how many), else
// libftdi1 over libusb.
D2xxBackend &d2xxBackend();
// Puts `backend` in front of every D2XX call from now on (the caller keeps
// it alive); tests use it to wrap the chosen backend.
void setD2xxBackend(D2xxBackend *backend);

// The backends, made by their own factories.
D2xxBackend *createLibftdiBackend();
// Emulated widgets shaped by the LUMORA_EMULATOR* environment variables.
D2xxBackend *createEmulatedBackend();

// "FT_IO_ERROR" and so on.
const char *ftStatusName(FT_STATUS status);

} // namespace lumora

#endif

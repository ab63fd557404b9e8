// What a device backend provides behind the D2XX functions. The functions in
// d2xx.cpp check their arguments and hand the call to the backend chosen at
// start-up; a backend validates its own handles. Backends may be called from
// several threads at once, each thread on handles of its own, and any of
// them listing devices, opening entries and waiting for changes.
#ifndef LUMORA_D2XXBACKEND_H
#define LUMORA_D2XXBACKEND_H

#include "devicelist.h"
#include "ftd2xx.h"

#include <mutex>
#include <string>

namespace lumora {

class D2xxBackend
{
public:
    virtual ~D2xxBackend() = default;

    virtual const char *name() const = 0;

    // The devices attached now, in the order of the ports. A listing that
    // fails, or that cannot read some devices' strings, also leaves its
    // reason as the calling thread's error (errorText(nullptr)).
    virtual DeviceList listDevices() = 0;
    // Opens the device of `entry`, wherever its list came from: that device
    // or none, never another that took its place; found and opened in one
    // step that rebuilds nobody's list.
    virtual FT_STATUS openEntry(const DeviceEntry &entry, FT_HANDLE *handle) = 0;
    // Opens the attached device with this LocId, found directly.
    virtual FT_STATUS openByLocation(DWORD location, FT_HANDLE *handle) = 0;
    // Opens the attached device with this serial string that no handle holds.
    virtual FT_STATUS openBySerial(const char *serial, FT_HANDLE *handle) = 0;
    virtual FT_STATUS deviceCount(DWORD *count) = 0;
    // Returns true at once when devices came or went since `since` was
    // listed, else when one does, or false after `timeoutMs`. Without notice
    // of arrivals it just waits. Hotplug notices only count, so that no
    // thread's listing or open takes a change from another's wait.
    virtual bool waitForDeviceChange(const DeviceList &since, int timeoutMs);

    // The device list of the D2XX functions, shared by every caller of
    // them: FT_CreateDeviceInfoList makes it, FT_GetDeviceInfoList reads it,
    // and FT_Open's index refers to it. Built on the calls above.
    virtual FT_STATUS createDeviceInfoList(DWORD *count);
    // Writes at most `capacity` records of the shared list and sets `count`
    // to how many it wrote.
    virtual FT_STATUS getDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *dest, DWORD capacity, DWORD *count);
    // Opens entry `index` of the shared list (of the devices attached now
    // when no list was made yet); fails when that device is gone, and never
    // opens another in its place.
    virtual FT_STATUS open(int index, FT_HANDLE *handle);

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
    // What the open device itself reports: its type and id, and its serial
    // string and description whole (the other fields of `device` untouched).
    virtual FT_STATUS deviceInfo(FT_HANDLE handle, DeviceEntry *device) = 0;

    // Why the last call on `handle` failed, in words that say what to do;
    // for a null handle, why the calling thread's last open or device list
    // failed. Empty when the backend has nothing to add to the status.
    virtual std::string errorText(FT_HANDLE handle) { return handle ? std::string() : threadError(); }

protected:
    // Why the calling thread's last open or device list failed; one for
    // every backend, since a thread is in one call at a time.
    static std::string &threadError();
    // Forgets the shared list, as when the bus is made anew.
    void forgetSharedList();

private:
    std::mutex m_sharedLock;
    bool m_sharedMade = false;
    DeviceList m_shared;
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
// Why an open by LocId found no device there.
std::string locationGoneText(DWORD location);

} // namespace lumora

#endif

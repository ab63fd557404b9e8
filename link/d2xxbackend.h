// What a device backend provides behind the D2XX functions. The functions in
// d2xx.cpp check their arguments and hand the call to the backend chosen at
// start-up; a backend validates its own handles.
#ifndef LUMORA_D2XXBACKEND_H
#define LUMORA_D2XXBACKEND_H

#include "ftd2xx.h"

namespace lumora {

class D2xxBackend
{
public:
    virtual ~D2xxBackend() = default;

    virtual const char *name() const = 0;
    virtual FT_STATUS createDeviceInfoList(DWORD *count) = 0;
    // Writes at most `capacity` records of the list made by the last
    // createDeviceInfoList and sets `count` to how many it wrote.
    virtual FT_STATUS getDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *dest, DWORD capacity, DWORD *count) = 0;
    virtual FT_STATUS deviceCount(DWORD *count) = 0;
    virtual FT_STATUS open(int index, FT_HANDLE *handle) = 0;
    virtual FT_STATUS close(FT_HANDLE handle) = 0;
    virtual FT_STATUS read(FT_HANDLE handle, unsigned char *buffer, DWORD count, DWORD *delivered) = 0;
    virtual FT_STATUS write(FT_HANDLE handle, const unsigned char *buffer, DWORD count, DWORD *written) = 0;
    virtual FT_STATUS purge(FT_HANDLE handle, ULONG mask) = 0;
    virtual FT_STATUS setTimeouts(FT_HANDLE handle, ULONG readMs, ULONG writeMs) = 0;
    virtual FT_STATUS latencyTimer(FT_HANDLE handle, UCHAR *timer) = 0;
    virtual FT_STATUS driverVersion(FT_HANDLE handle, DWORD *version) = 0;
};

// The backend every D2XX call goes to: the emulated widgets when the
// environment variable LUMORA_EMULATOR is set (its value: how many widgets,
// 1 when empty), libftdi1 otherwise. Chosen once, at the first call.
D2xxBackend &d2xxBackend();

// Number of emulated widgets LUMORA_EMULATOR asks for, or -1 when it is unset.
int emulatorCountFromEnvironment();

D2xxBackend *createLibftdiBackend();

} // namespace lumora

#endif

#include "d2xxbackend.h"
#include "emulatedwidget.h"

#include <QByteArray>
#include <QtGlobal>

#include <vector>

namespace lumora {

int emulatorCountFromEnvironment()
{
    if (!qEnvironmentVariableIsSet("LUMORA_EMULATOR"))
        return -1;
    const QByteArray value = qgetenv("LUMORA_EMULATOR").trimmed();
    if (value.isEmpty())
        return 1;
    bool ok = false;
    const int count = value.toInt(&ok);
    if (!ok || count < 0)
        return 1;
    return qMin(count, EmulatedBus::MaxWidgets);
}

D2xxBackend &d2xxBackend()
{
    static D2xxBackend *backend = [] {
        const int emulated = emulatorCountFromEnvironment();
        if (emulated >= 0) {
            EmulatedBus::instance().reset(emulated);
            EmulatedBus::instance().configureFromEnvironment();
            return static_cast<D2xxBackend *>(&EmulatedBus::instance());
        }
        return createLibftdiBackend();
    }();
    return *backend;
}

} // namespace lumora

using lumora::d2xxBackend;

extern "C" {

FT_STATUS FT_Open(int deviceNumber, FT_HANDLE *pHandle)
{
    if (!pHandle)
        return FT_INVALID_PARAMETER;
    *pHandle = nullptr;
    if (deviceNumber < 0)
        return FT_DEVICE_NOT_FOUND;
    return d2xxBackend().open(deviceNumber, pHandle);
}

FT_STATUS FT_Close(FT_HANDLE ftHandle)
{
    if (!ftHandle)
        return FT_INVALID_HANDLE;
    return d2xxBackend().close(ftHandle);
}

FT_STATUS FT_Read(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToRead, LPDWORD lpBytesReturned)
{
    if (lpBytesReturned)
        *lpBytesReturned = 0;
    if (!ftHandle)
        return FT_INVALID_HANDLE;
    if (!lpBytesReturned || (!lpBuffer && dwBytesToRead > 0))
        return FT_INVALID_PARAMETER;
    return d2xxBackend().read(ftHandle, static_cast<unsigned char *>(lpBuffer), dwBytesToRead, lpBytesReturned);
}

FT_STATUS FT_Write(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToWrite, LPDWORD lpBytesWritten)
{
    if (lpBytesWritten)
        *lpBytesWritten = 0;
    if (!ftHandle)
        return FT_INVALID_HANDLE;
    if (!lpBytesWritten || (!lpBuffer && dwBytesToWrite > 0))
        return FT_INVALID_PARAMETER;
    return d2xxBackend().write(ftHandle, static_cast<const unsigned char *>(lpBuffer), dwBytesToWrite, lpBytesWritten);
}

FT_STATUS FT_Purge(FT_HANDLE ftHandle, ULONG Mask)
{
    if (!ftHandle)
        return FT_INVALID_HANDLE;
    return d2xxBackend().purge(ftHandle, Mask);
}

FT_STATUS FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout, ULONG WriteTimeout)
{
    if (!ftHandle)
        return FT_INVALID_HANDLE;
    return d2xxBackend().setTimeouts(ftHandle, ReadTimeout, WriteTimeout);
}

FT_STATUS FT_ListDevices(PVOID pArg1, PVOID pArg2, DWORD Flags)
{
    (void)pArg2;
    // Only the device count is offered; descriptions and serials come from
    // the device-information list.
    if (Flags != FT_LIST_NUMBER_ONLY)
        return FT_NOT_SUPPORTED;
    if (!pArg1)
        return FT_INVALID_PARAMETER;
    return d2xxBackend().deviceCount(static_cast<DWORD *>(pArg1));
}

FT_STATUS FT_GetLatencyTimer(FT_HANDLE ftHandle, PUCHAR pucTimer)
{
    if (!ftHandle)
        return FT_INVALID_HANDLE;
    if (!pucTimer)
        return FT_INVALID_PARAMETER;
    return d2xxBackend().latencyTimer(ftHandle, pucTimer);
}

FT_STATUS FT_CreateDeviceInfoList(LPDWORD lpdwNumDevs)
{
    if (!lpdwNumDevs)
        return FT_INVALID_PARAMETER;
    return d2xxBackend().createDeviceInfoList(lpdwNumDevs);
}

FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *pDest, LPDWORD lpdwNumDevs)
{
    if (!pDest || !lpdwNumDevs)
        return FT_INVALID_PARAMETER;
    // The caller sizes its array by the count of the list it created and
    // passes that count in; never write more records than that.
    const DWORD capacity = *lpdwNumDevs;
    return d2xxBackend().getDeviceInfoList(pDest, capacity, lpdwNumDevs);
}

FT_STATUS FT_GetDriverVersion(FT_HANDLE ftHandle, LPDWORD lpdwVersion)
{
    if (!ftHandle)
        return FT_INVALID_HANDLE;
    if (!lpdwVersion)
        return FT_INVALID_PARAMETER;
    return d2xxBackend().driverVersion(ftHandle, lpdwVersion);
}

} // extern "C"

#include "d2xxbackend.h"
#include "sleep.h"

#include <QByteArray>
#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace lumora {

namespace {

D2xxBackend *chooseBackend()
{
    if (qEnvironmentVariableIsSet("LUMORA_EMULATOR")) {
        // Emulated widgets answer at once; on request the pauses meant for
        // real hardware go too, for quick runs of the programs in tests.
        if (qgetenv("LUMORA_EMULATOR_NO_WAITS") == "1") {
            setSleepFunction([](int) {});
            setShortHardwareWaits(true);
        }
        return createEmulatedBackend();
    }
    return createLibftdiBackend();
}

std::atomic<D2xxBackend *> &installed()
{
    static std::atomic<D2xxBackend *> backend{nullptr};
    return backend;
}

} // namespace

namespace {

// Opens the first device of a fresh list that `wanted` picks.
template <typename Wanted>
FT_STATUS openListed(D2xxBackend &backend, Wanted wanted, FT_HANDLE *handle)
{
    DWORD count = 0;
    FT_STATUS status = backend.createDeviceInfoList(&count);
    if (status != FT_OK)
        return status;
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(count);
    if (count > 0 && (status = backend.getDeviceInfoList(nodes.data(), count, &count)) != FT_OK)
        return status;
    for (DWORD i = 0; i < count; ++i)
        if (!(nodes[i].Flags & FT_FLAGS_OPENED) && wanted(nodes[i]))
            return backend.open(int(i), handle);
    return FT_DEVICE_NOT_FOUND;
}

} // namespace

FT_STATUS D2xxBackend::openBySerial(const char *serial, FT_HANDLE *handle)
{
    return openListed(*this, [&](const FT_DEVICE_LIST_INFO_NODE &node) {
        return strncmp(node.SerialNumber, serial, sizeof node.SerialNumber) == 0;
    }, handle);
}

FT_STATUS D2xxBackend::openByLocation(DWORD location, FT_HANDLE *handle)
{
    return openListed(*this, [&](const FT_DEVICE_LIST_INFO_NODE &node) { return node.LocId == location; }, handle);
}

bool D2xxBackend::waitForDeviceChange(int timeoutMs)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    return false;
}

D2xxBackend &d2xxBackend()
{
    static D2xxBackend *const chosen = chooseBackend();
    D2xxBackend *backend = installed().load(std::memory_order_acquire);
    return backend ? *backend : *chosen;
}

void setD2xxBackend(D2xxBackend *backend)
{
    installed().store(backend, std::memory_order_release);
}

const char *ftStatusName(FT_STATUS status)
{
    static const char *const names[] = {
        "FT_OK", "FT_INVALID_HANDLE", "FT_DEVICE_NOT_FOUND", "FT_DEVICE_NOT_OPENED", "FT_IO_ERROR",
        "FT_INSUFFICIENT_RESOURCES", "FT_INVALID_PARAMETER", "FT_INVALID_BAUD_RATE",
        "FT_DEVICE_NOT_OPENED_FOR_ERASE", "FT_DEVICE_NOT_OPENED_FOR_WRITE", "FT_FAILED_TO_WRITE_DEVICE",
        "FT_EEPROM_READ_FAILED", "FT_EEPROM_WRITE_FAILED", "FT_EEPROM_ERASE_FAILED", "FT_EEPROM_NOT_PRESENT",
        "FT_EEPROM_NOT_PROGRAMMED", "FT_INVALID_ARGS", "FT_NOT_SUPPORTED", "FT_OTHER_ERROR",
        "FT_DEVICE_LIST_NOT_READY",
    };
    return status < sizeof names / sizeof names[0] ? names[status] : "unknown FT_STATUS";
}

} // namespace lumora

using lumora::d2xxBackend;

extern "C" {

FT_STATUS FT_Open(int deviceNumber, FT_HANDLE *pHandle)
{
    if (!pHandle)
        return FT_INVALID_PARAMETER;
    *pHandle = nullptr;
    return d2xxBackend().open(deviceNumber, pHandle);
}

FT_STATUS FT_OpenEx(PVOID pArg1, DWORD Flags, FT_HANDLE *pHandle)
{
    if (!pHandle)
        return FT_INVALID_PARAMETER;
    *pHandle = nullptr;
    if (Flags == FT_OPEN_BY_LOCATION)
        return d2xxBackend().openByLocation(DWORD(reinterpret_cast<quintptr>(pArg1)), pHandle);
    if (Flags != FT_OPEN_BY_SERIAL_NUMBER)
        return FT_NOT_SUPPORTED;
    if (!pArg1)
        return FT_INVALID_PARAMETER;
    return d2xxBackend().openBySerial(static_cast<const char *>(pArg1), pHandle);
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

FT_STATUS FT_SetChars(FT_HANDLE ftHandle, UCHAR EventChar, UCHAR EventCharEnabled, UCHAR ErrorChar,
                      UCHAR ErrorCharEnabled)
{
    if (!ftHandle)
        return FT_INVALID_HANDLE;
    if (EventCharEnabled > 1 || ErrorCharEnabled > 1)
        return FT_INVALID_PARAMETER;
    return d2xxBackend().setChars(ftHandle, EventChar, EventCharEnabled, ErrorChar, ErrorCharEnabled);
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

FT_STATUS FT_GetDeviceInfo(FT_HANDLE ftHandle, FT_DEVICE *lpftDevice, LPDWORD lpdwID, PCHAR SerialNumber,
                           PCHAR Description, LPVOID Dummy)
{
    (void)Dummy;
    if (!ftHandle)
        return FT_INVALID_HANDLE;
    ULONG type = FT_DEVICE_UNKNOWN;
    DWORD id = 0;
    char serial[16] = {};
    char description[64] = {};
    const FT_STATUS status = d2xxBackend().deviceInfo(ftHandle, &type, &id, serial, description);
    if (status != FT_OK)
        return status;
    serial[sizeof serial - 1] = '\0';
    description[sizeof description - 1] = '\0';
    if (lpftDevice)
        *lpftDevice = type;
    if (lpdwID)
        *lpdwID = id;
    if (SerialNumber)
        std::copy(serial, serial + sizeof serial, SerialNumber);
    if (Description)
        std::copy(description, description + sizeof description, Description);
    return FT_OK;
}

} // extern "C"

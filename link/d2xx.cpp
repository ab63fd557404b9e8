#include "d2xxbackend.h"
#include "bytetext.h"
#include "sleep.h"

#include <QByteArray>
#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

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

// Cut between characters. Like the chip's own strings, NUL-terminated when
// they fit, filling the field without a NUL when they do not; always
// NUL-terminated when `terminated`.
void copyField(char *field, int width, const QByteArray &text, bool terminated = false)
{
    std::memset(field, 0, size_t(width));
    std::memcpy(field, text.constData(), size_t(wholeCharacters(text, terminated ? width - 1 : width)));
}

FT_DEVICE_LIST_INFO_NODE nodeOf(const DeviceEntry &entry)
{
    FT_DEVICE_LIST_INFO_NODE node;
    std::memset(&node, 0, sizeof node);
    node.Flags = entry.heldBy ? FT_FLAGS_OPENED : 0;
    node.Type = entry.type;
    node.ID = entry.id;
    node.LocId = entry.location;
    copyField(node.SerialNumber, int(sizeof node.SerialNumber), entry.serial);
    copyField(node.Description, int(sizeof node.Description), entry.description);
    node.ftHandle = entry.heldBy;
    return node;
}

} // namespace

std::string &D2xxBackend::threadError()
{
    static thread_local std::string error;
    return error;
}

bool D2xxBackend::waitForDeviceChange(const DeviceList &since, int timeoutMs)
{
    (void)since;
    std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    return false;
}

FT_STATUS D2xxBackend::createDeviceInfoList(DWORD *count)
{
    DeviceList list = listDevices();
    if (!list.read)
        return FT_OTHER_ERROR;
    std::lock_guard<std::mutex> lock(m_sharedLock);
    m_shared = std::move(list);
    m_sharedMade = true;
    *count = DWORD(m_shared.entries.size());
    return FT_OK;
}

FT_STATUS D2xxBackend::getDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *dest, DWORD capacity, DWORD *count)
{
    std::lock_guard<std::mutex> lock(m_sharedLock);
    const DWORD n = std::min(capacity, DWORD(m_shared.entries.size()));
    for (DWORD i = 0; i < n; ++i)
        dest[i] = nodeOf(m_shared.entries[int(i)]);
    *count = n;
    return FT_OK;
}

FT_STATUS D2xxBackend::open(int index, FT_HANDLE *handle)
{
    DeviceList list;
    bool made;
    {
        std::lock_guard<std::mutex> lock(m_sharedLock);
        made = m_sharedMade;
        list = m_shared;
    }
    // No list was asked for: the devices attached now, in port order.
    if (!made && !(list = listDevices()).read)
        return FT_OTHER_ERROR;
    if (index < 0 || index >= list.entries.size()) {
        threadError() = "there is no device " + std::to_string(index) + " in the device list ("
                        + std::to_string(list.entries.size()) + " listed): scan again";
        return FT_DEVICE_NOT_FOUND;
    }
    threadError().clear();
    return openEntry(list.entries[index], handle);
}

void D2xxBackend::forgetSharedList()
{
    std::lock_guard<std::mutex> lock(m_sharedLock);
    m_shared = DeviceList();
    m_sharedMade = false;
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

std::string locationGoneText(DWORD location)
{
    char text[96];
    std::snprintf(text, sizeof text, "the widget at LocId 0x%08X is no longer attached: it was unplugged or restarted",
                  unsigned(location));
    return text;
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
    lumora::DeviceEntry device;
    const FT_STATUS status = d2xxBackend().deviceInfo(ftHandle, &device);
    if (status != FT_OK)
        return status;
    if (lpftDevice)
        *lpftDevice = device.type;
    if (lpdwID)
        *lpdwID = device.id;
    if (SerialNumber)
        lumora::copyField(SerialNumber, 16, device.serial, true);
    if (Description)
        lumora::copyField(Description, 64, device.description, true);
    return FT_OK;
}

} // extern "C"

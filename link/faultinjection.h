// A backend that stands in front of another and changes what its calls
// return: counts every call, forces a status on the next calls of a kind,
// and lets a filter cut writes and reads short. Tests and benchmarks put it
// in front of the chosen backend with setD2xxBackend().
#ifndef LUMORA_FAULTINJECTION_H
#define LUMORA_FAULTINJECTION_H

#include "d2xxbackend.h"

#include <functional>
#include <mutex>

namespace lumora {

enum class D2xxCall {
    Open, Close, Read, Write, Purge, SetTimeouts, ListDevices,
    LatencyTimer, CreateDeviceInfoList, GetDeviceInfoList, DriverVersion, DeviceInfo, SetChars,
    CallKinds
};

// One write or read call; the filter may lower `allowed` (the bytes a write
// hands on, or the most a read delivers) and change `status`.
struct FilteredCall
{
    int callIndex = 0;   // counts the calls of that kind since the filter was set
    DWORD requested = 0;
    DWORD allowed = 0;
    FT_STATUS status = FT_OK;
};
using CallFilter = std::function<void(FilteredCall &)>;

class FaultInjection : public D2xxBackend
{
public:
    explicit FaultInjection(D2xxBackend &inner) : m_inner(inner) {}

    // The next `times` calls of that kind return `status` without reaching
    // the backend behind.
    void failCall(D2xxCall call, FT_STATUS status, int times = 1);
    int calls(D2xxCall call) const;
    void clearCallCounts();
    void setWriteFilter(CallFilter filter);
    void setReadFilter(CallFilter filter);
    // No failures, no filters, counts at zero.
    void clear();

    const char *name() const override { return m_inner.name(); }
    // A listing counts, and fails, as a CreateDeviceInfoList; every open as an Open.
    DeviceList listDevices() override;
    FT_STATUS openEntry(const DeviceEntry &entry, FT_HANDLE *handle) override;
    FT_STATUS openByLocation(DWORD location, FT_HANDLE *handle) override;
    FT_STATUS openBySerial(const char *serial, FT_HANDLE *handle) override;
    FT_STATUS deviceCount(DWORD *count) override;
    bool waitForDeviceChange(const DeviceList &since, int timeoutMs) override
    {
        return m_inner.waitForDeviceChange(since, timeoutMs);
    }
    FT_STATUS createDeviceInfoList(DWORD *count) override;
    FT_STATUS getDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *dest, DWORD capacity, DWORD *count) override;
    FT_STATUS open(int index, FT_HANDLE *handle) override;
    FT_STATUS close(FT_HANDLE handle) override;
    FT_STATUS read(FT_HANDLE handle, unsigned char *buffer, DWORD count, DWORD *delivered) override;
    FT_STATUS write(FT_HANDLE handle, const unsigned char *buffer, DWORD count, DWORD *written) override;
    FT_STATUS purge(FT_HANDLE handle, ULONG mask) override;
    FT_STATUS setTimeouts(FT_HANDLE handle, ULONG readMs, ULONG writeMs) override;
    FT_STATUS latencyTimer(FT_HANDLE handle, UCHAR *timer) override;
    FT_STATUS setChars(FT_HANDLE handle, UCHAR eventChar, bool eventEnabled, UCHAR errorChar,
                       bool errorEnabled) override;
    FT_STATUS driverVersion(FT_HANDLE handle, DWORD *version) override;
    FT_STATUS deviceInfo(FT_HANDLE handle, DeviceEntry *device) override;
    std::string errorText(FT_HANDLE handle) override { return m_inner.errorText(handle); }

private:
    // Counts the call; true with `status` set when it is to fail.
    bool injected(D2xxCall call, FT_STATUS *status);
    // The call as the filter of its kind lets it through.
    FilteredCall filtered(const CallFilter &filter, int *calls, DWORD count);

    D2xxBackend &m_inner;
    mutable std::mutex m_lock;
    int m_calls[int(D2xxCall::CallKinds)] = {};
    struct Failure { FT_STATUS status = FT_OK; int times = 0; };
    Failure m_failures[int(D2xxCall::CallKinds)];
    CallFilter m_writeFilter;
    CallFilter m_readFilter;
    int m_writeCalls = 0;
    int m_readCalls = 0;
};

} // namespace lumora

#endif

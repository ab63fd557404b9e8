#include "faultinjection.h"

#include <algorithm>

namespace lumora {

void FaultInjection::failCall(D2xxCall call, FT_STATUS status, int times)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_failures[int(call)] = {status, times};
}

int FaultInjection::calls(D2xxCall call) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_calls[int(call)];
}

void FaultInjection::clearCallCounts()
{
    std::lock_guard<std::mutex> lock(m_lock);
    std::fill(std::begin(m_calls), std::end(m_calls), 0);
}

void FaultInjection::setWriteFilter(CallFilter filter)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_writeFilter = std::move(filter);
    m_writeCalls = 0;
}

void FaultInjection::setReadFilter(CallFilter filter)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_readFilter = std::move(filter);
    m_readCalls = 0;
}

void FaultInjection::clear()
{
    setWriteFilter({});
    setReadFilter({});
    std::lock_guard<std::mutex> lock(m_lock);
    std::fill(std::begin(m_calls), std::end(m_calls), 0);
    std::fill(std::begin(m_failures), std::end(m_failures), Failure());
}

bool FaultInjection::injected(D2xxCall call, FT_STATUS *status)
{
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_calls[int(call)];
    Failure &failure = m_failures[int(call)];
    if (failure.times <= 0)
        return false;
    --failure.times;
    *status = failure.status;
    return true;
}

DeviceList FaultInjection::listDevices()
{
    FT_STATUS status;
    if (!injected(D2xxCall::CreateDeviceInfoList, &status))
        return m_inner.listDevices();
    DeviceList failed;
    failed.why = ftStatusName(status);
    return failed;
}

FT_STATUS FaultInjection::openEntry(const DeviceEntry &entry, FT_HANDLE *handle)
{
    FT_STATUS status;
    return injected(D2xxCall::Open, &status) ? status : m_inner.openEntry(entry, handle);
}

FT_STATUS FaultInjection::createDeviceInfoList(DWORD *count)
{
    FT_STATUS status;
    return injected(D2xxCall::CreateDeviceInfoList, &status) ? status : m_inner.createDeviceInfoList(count);
}

FT_STATUS FaultInjection::getDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *dest, DWORD capacity, DWORD *count)
{
    FT_STATUS status;
    return injected(D2xxCall::GetDeviceInfoList, &status) ? status : m_inner.getDeviceInfoList(dest, capacity, count);
}

FT_STATUS FaultInjection::deviceCount(DWORD *count)
{
    FT_STATUS status;
    return injected(D2xxCall::ListDevices, &status) ? status : m_inner.deviceCount(count);
}

FT_STATUS FaultInjection::open(int index, FT_HANDLE *handle)
{
    FT_STATUS status;
    return injected(D2xxCall::Open, &status) ? status : m_inner.open(index, handle);
}

FT_STATUS FaultInjection::openBySerial(const char *serial, FT_HANDLE *handle)
{
    FT_STATUS status;
    return injected(D2xxCall::Open, &status) ? status : m_inner.openBySerial(serial, handle);
}

FT_STATUS FaultInjection::openByLocation(DWORD location, FT_HANDLE *handle)
{
    FT_STATUS status;
    return injected(D2xxCall::Open, &status) ? status : m_inner.openByLocation(location, handle);
}

FT_STATUS FaultInjection::close(FT_HANDLE handle)
{
    FT_STATUS status;
    return injected(D2xxCall::Close, &status) ? status : m_inner.close(handle);
}

FilteredCall FaultInjection::filtered(const CallFilter &filter, int *calls, DWORD count)
{
    FilteredCall call;
    call.requested = count;
    call.allowed = count;
    std::lock_guard<std::mutex> lock(m_lock);
    if (filter) {
        call.callIndex = (*calls)++;
        filter(call);
    }
    return call;
}

FT_STATUS FaultInjection::read(FT_HANDLE handle, unsigned char *buffer, DWORD count, DWORD *delivered)
{
    FT_STATUS status;
    if (injected(D2xxCall::Read, &status))
        return status;
    const FilteredCall call = filtered(m_readFilter, &m_readCalls, count);
    status = m_inner.read(handle, buffer, std::min(count, call.allowed), delivered);
    return status == FT_OK ? call.status : status;
}

FT_STATUS FaultInjection::write(FT_HANDLE handle, const unsigned char *buffer, DWORD count, DWORD *written)
{
    FT_STATUS status;
    if (injected(D2xxCall::Write, &status))
        return status;
    const FilteredCall call = filtered(m_writeFilter, &m_writeCalls, count);
    status = m_inner.write(handle, buffer, std::min(count, call.allowed), written);
    return status == FT_OK ? call.status : status;
}

FT_STATUS FaultInjection::purge(FT_HANDLE handle, ULONG mask)
{
    FT_STATUS status;
    return injected(D2xxCall::Purge, &status) ? status : m_inner.purge(handle, mask);
}

FT_STATUS FaultInjection::setTimeouts(FT_HANDLE handle, ULONG readMs, ULONG writeMs)
{
    FT_STATUS status;
    return injected(D2xxCall::SetTimeouts, &status) ? status : m_inner.setTimeouts(handle, readMs, writeMs);
}

FT_STATUS FaultInjection::latencyTimer(FT_HANDLE handle, UCHAR *timer)
{
    FT_STATUS status;
    return injected(D2xxCall::LatencyTimer, &status) ? status : m_inner.latencyTimer(handle, timer);
}

FT_STATUS FaultInjection::setChars(FT_HANDLE handle, UCHAR eventChar, bool eventEnabled, UCHAR errorChar,
                                   bool errorEnabled)
{
    FT_STATUS status;
    return injected(D2xxCall::SetChars, &status)
               ? status
               : m_inner.setChars(handle, eventChar, eventEnabled, errorChar, errorEnabled);
}

FT_STATUS FaultInjection::driverVersion(FT_HANDLE handle, DWORD *version)
{
    FT_STATUS status;
    return injected(D2xxCall::DriverVersion, &status) ? status : m_inner.driverVersion(handle, version);
}

FT_STATUS FaultInjection::deviceInfo(FT_HANDLE handle, DeviceEntry *device)
{
    FT_STATUS status;
    return injected(D2xxCall::DeviceInfo, &status) ? status : m_inner.deviceInfo(handle, device);
}

} // namespace lumora

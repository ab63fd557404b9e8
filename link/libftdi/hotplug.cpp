// The libusb context every list, notice and transfer runs on, and the
// arrivals and departures it tells of.
#include "libftdibackend.h"

#include <algorithm>
#include <chrono>

namespace lumora {

namespace {

// A wait hands libusb at most this long at a time, to look at the count.
constexpr int LongestEventWaitUs = 100000;

} // namespace

libusb_context *LibftdiBackend::context(bool *watching)
{
    std::lock_guard<std::mutex> lock(m_usbLock);
    if (!m_usb) {
        if (libusb_init(&m_usb) != 0) {
            m_usb = nullptr;
            threadError() = "libusb could not be started: is /dev/bus/usb there?";
            return nullptr;
        }
        m_watching = libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)
                     && libusb_hotplug_register_callback(
                            m_usb, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                            LIBUSB_HOTPLUG_NO_FLAGS, FtdiVendor, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                            onHotplug, this, nullptr)
                            == LIBUSB_SUCCESS;
    }
    if (watching)
        *watching = m_watching;
    return m_usb;
}

// Only counts: it runs inside libusb's event handling, in whichever thread
// handles events (a wait, a list's string reads, a widget's transfers).
int LIBUSB_CALL LibftdiBackend::onHotplug(libusb_context *, libusb_device *, libusb_hotplug_event, void *self)
{
    static_cast<LibftdiBackend *>(self)->m_changes.fetch_add(1);
    return 0;
}

bool LibftdiBackend::waitForDeviceChange(const DeviceList &since, int timeoutMs)
{
    bool watching = false;
    libusb_context *usb = context(&watching);
    if (!usb || !watching)
        return D2xxBackend::waitForDeviceChange(since, timeoutMs);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (m_changes.load() != since.generation)
            return true;
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        // Several threads may wait at once: libusb lets one handle the
        // events and wakes the others when it is done.
        timeval tv{0, long(std::min<int64_t>(left.count(), LongestEventWaitUs))};
        libusb_handle_events_timeout_completed(usb, &tv, nullptr);
    }
}

} // namespace lumora

// D2XX functions over libftdi1 and libusb, for real widgets on Linux.
#include "d2xxbackend.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include <unistd.h>

namespace lumora {

namespace {

constexpr int FtdiVendor = 0x0403;
// A low latency timer hands each short reply (a page status is one byte) to
// the host at once instead of after the chip's default 16 ms.
constexpr unsigned char OpenLatencyTimerMs = 2;
constexpr ULONG DefaultTimeoutMs = 5000;
// Each bulk read returns after at most one latency period when the chip is
// alive; a transfer that waits this long (fifty periods of 2 ms: room for a
// busy host) means the chip has hung.
constexpr int LongestTransferMs = 100;

const char UnpluggedText[] = "the widget was unplugged: plug it in again, then scan and open it";
const char PermissionAdvice[] =
    "install the udev rule 60-lumora-configurator.rules or add yourself to the plugdev group (see the README)";

// Why the calling thread's last open or device list failed.
thread_local std::string lastListOrOpenError;

ULONG chipType(const libusb_device_descriptor &d)
{
    switch (d.bcdDevice >> 8) {
    case 0x02: return FT_DEVICE_AM;
    case 0x04: return FT_DEVICE_BM;
    case 0x05: return FT_DEVICE_2232C;
    case 0x06: return FT_DEVICE_232R;
    case 0x07: return FT_DEVICE_2232H;
    case 0x08: return FT_DEVICE_4232H;
    case 0x09: return FT_DEVICE_232H;
    case 0x10: return FT_DEVICE_X_SERIES;
    default: return FT_DEVICE_UNKNOWN;
    }
}

std::string errnoText(int error)
{
    return "errno " + std::to_string(error) + ": " + std::strerror(error);
}

// Bus number, then the port numbers from the root hub down.
std::vector<uint8_t> portPath(libusb_device *dev)
{
    uint8_t ports[8];
    const int n = libusb_get_port_numbers(dev, ports, int(sizeof ports));
    std::vector<uint8_t> path(1 + size_t(std::max(n, 0)));
    path[0] = libusb_get_bus_number(dev);
    std::copy(ports, ports + std::max(n, 0), path.begin() + 1);
    return path;
}

// The name the kernel gives the widget's interface under
// /sys/bus/usb/drivers/, such as 1-1.2:1.0.
std::string interfaceBusId(libusb_device *dev)
{
    const std::vector<uint8_t> path = portPath(dev);
    std::string id = std::to_string(path[0]) + "-";
    for (size_t i = 1; i < path.size(); ++i)
        id += (i > 1 ? "." : "") + std::to_string(path[i]);
    return id + ":1.0";
}

// FT_DEVICE_LIST_INFO_NODE.LocId, 0xBBPPPPAA: BB the bus number, PPPP the
// ports from the root hub down, a hex digit a level (0 past the last level,
// ports past 15 read as F, levels past the fourth left out), AA the device
// address. The kernel gives a device a new address at every plug, and no two
// devices attached to a bus the same one: the value tells attached devices
// apart and changes at every plug, wherever the device is plugged in.
DWORD locationId(libusb_device *dev)
{
    const std::vector<uint8_t> path = portPath(dev);
    DWORD ports = 0;
    for (size_t level = 1; level <= 4; ++level)
        ports = (ports << 4) | (level < path.size() ? std::min<DWORD>(path[level], 0xF) : 0);
    return (DWORD(path[0]) << 24) | (ports << 8) | DWORD(libusb_get_device_address(dev));
}

// The key of a device's strings: where it sits, then its address.
std::vector<uint8_t> attachmentKey(libusb_device *dev)
{
    std::vector<uint8_t> key = portPath(dev);
    key.push_back(libusb_get_device_address(dev));
    return key;
}

std::string deviceNode(libusb_device *dev)
{
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", unsigned(libusb_get_bus_number(dev)),
                  unsigned(libusb_get_device_address(dev)));
    return node;
}

// Does a kernel driver still hold the widget's interface? Asked on a handle
// of our own, since the failed open left none.
bool kernelDriverHolds(libusb_device *dev)
{
    libusb_device_handle *handle = nullptr;
    if (libusb_open(dev, &handle) != 0)
        return false;
    const bool active = libusb_kernel_driver_active(handle, 0) == 1;
    libusb_close(handle);
    return active;
}

// What the user is told when ftdi_usb_open_dev failed with `code`.
std::string openFailureText(ftdi_context *ctx, int code, int error, libusb_device *dev)
{
    const std::string detail = std::string(" (libftdi1: ") + ftdi_get_error_string(ctx) + "; " + errnoText(error) + ")";
    if (code == -8 || error == EACCES || error == EPERM)
        return "no permission to use the widget's USB device " + deviceNode(dev) + ": " + PermissionAdvice
               + ", then plug the widget in again" + detail;
    if (code == -4 && (error == ENOENT || error == ENODEV))
        return "the widget was unplugged: scan again" + detail;
    if (code == -5 || code == -11) {
        if (kernelDriverHolds(dev))
            return "the kernel's serial driver (ftdi_sio) holds the widget and could not be detached: close the"
                   " program that uses its serial port (fuser -v /dev/ttyUSB* tells which), then unbind the driver"
                   " from this widget (echo -n " + interfaceBusId(dev)
                   + " | sudo tee /sys/bus/usb/drivers/ftdi_sio/unbind) or unload it (sudo rmmod ftdi_sio)" + detail;
        return "another program holds the widget (its interface is claimed): close that program, or the other"
               " window or flasher using this widget, and try again" + detail;
    }
    return std::string("the widget could not be opened") + detail;
}

class LibftdiBackend : public D2xxBackend
{
public:
    ~LibftdiBackend() override
    {
        for (auto &o : m_open) {
            ftdi_usb_close(o.second->ctx);
            ftdi_free(o.second->ctx);
        }
        for (ftdi_context *ctx : m_idleFtdi)
            ftdi_free(ctx);
        releaseDevices(m_listed);
        if (m_usb)
            libusb_exit(m_usb);
    }

    const char *name() const override { return "libftdi1"; }

    FT_STATUS createDeviceInfoList(DWORD *count) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        // What went wrong before is no reason for this list; a device whose
        // strings cannot be read leaves its own.
        lastListOrOpenError.clear();
        {
            // A device that comes or goes from now on, even while this list
            // is being made, ends the next wait at once.
            std::lock_guard<std::mutex> changes(m_changeLock);
            m_changesSeen = m_changes;
        }
        std::vector<libusb_device *> devices;
        if (!enumerate(&devices))
            return FT_OTHER_ERROR;
        releaseDevices(m_listed);
        m_listMade = true;
        m_infoList.clear();
        for (libusb_device *dev : devices) {
            FT_DEVICE_LIST_INFO_NODE node;
            if (describe(dev, &node)) {
                m_listed.push_back(dev);
                m_infoList.push_back(node);
            } else {
                libusb_unref_device(dev); // gone while it was asked
            }
        }
        *count = DWORD(m_infoList.size());
        return FT_OK;
    }

    FT_STATUS getDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *dest, DWORD capacity, DWORD *count) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const DWORD n = std::min(capacity, DWORD(m_infoList.size()));
        std::copy(m_infoList.begin(), m_infoList.begin() + n, dest);
        *count = n;
        return FT_OK;
    }

    FT_STATUS deviceCount(DWORD *count) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        std::vector<libusb_device *> devices;
        if (!enumerate(&devices))
            return FT_OTHER_ERROR;
        *count = DWORD(devices.size());
        releaseDevices(devices);
        return FT_OK;
    }

    FT_STATUS open(int index, FT_HANDLE *handle) override
    {
        lastListOrOpenError.clear();
        libusb_device *dev = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (!m_listMade) {
                // No list was asked for: the devices attached now, in bus order.
                std::vector<libusb_device *> devices;
                if (!enumerate(&devices))
                    return FT_OTHER_ERROR;
                releaseDevices(m_listed);
                m_listed = std::move(devices);
            }
            if (index < 0 || size_t(index) >= m_listed.size()) {
                lastListOrOpenError = "there is no device " + std::to_string(index) + " in the device list ("
                                      + std::to_string(m_listed.size()) + " listed): scan again";
                return FT_DEVICE_NOT_FOUND;
            }
            // The device the list named, even if another has taken its place
            // on the bus since; a device pulled out fails to open.
            dev = libusb_ref_device(m_listed[size_t(index)]);
        }
        std::unique_ptr<libusb_device, decltype(&libusb_unref_device)> ref(dev, libusb_unref_device);
        return openDevice(dev, handle);
    }

    FT_STATUS openBySerial(const char *serial, FT_HANDLE *handle) override
    {
        lastListOrOpenError.clear();
        std::vector<libusb_device *> devices;
        libusb_device *found = nullptr;
        std::string unreadable;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (!enumerate(&devices))
                return FT_OTHER_ERROR;
            // One of ours that is open already is taken only when no other
            // device has this serial; its open then says who holds it.
            for (libusb_device *dev : devices) {
                Strings strings;
                if (stringsOf(dev, &strings, &unreadable) != Asked::Read || std::strcmp(strings.serial, serial) != 0)
                    continue;
                found = dev;
                if (!openHandleOf(dev))
                    break;
            }
        }
        if (found)
            libusb_ref_device(found);
        releaseDevices(devices);
        if (!found) {
            lastListOrOpenError = std::string("no widget with serial ") + serial + " is plugged in"
                                  + (unreadable.empty() ? std::string() : "; " + unreadable);
            return FT_DEVICE_NOT_FOUND;
        }
        std::unique_ptr<libusb_device, decltype(&libusb_unref_device)> ref(found, libusb_unref_device);
        return openDevice(found, handle);
    }

    FT_STATUS close(FT_HANDLE handle) override
    {
        std::shared_ptr<Open> o;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            auto it = m_open.find(reinterpret_cast<uintptr_t>(handle));
            if (it == m_open.end())
                return FT_INVALID_HANDLE;
            o = it->second;
            m_open.erase(it);
        }
        std::lock_guard<std::mutex> lock(o->lock);
        ftdi_usb_close(o->ctx);
        putFtdiContext(std::exchange(o->ctx, nullptr));
        return FT_OK;
    }

    FT_STATUS read(FT_HANDLE handle, unsigned char *buffer, DWORD count, DWORD *delivered) override
    {
        std::shared_ptr<Open> o = find(handle);
        if (!o)
            return FT_INVALID_HANDLE;
        std::lock_guard<std::mutex> lock(o->lock);
        // Collect what arrives within the read time-out. The chip answers
        // an empty bulk read only when its latency timer runs out, so this
        // loop waits in the USB transfer: a pause between reads would only
        // delay a reply (measured: no fewer transfers per page).
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(o->readTimeoutMs);
        DWORD got = 0;
        while (got < count) {
            const int r = ftdi_read_data(o->ctx, buffer + got, int(count - got));
            if (r < 0) {
                *delivered = got;
                o->error = r == LIBUSB_ERROR_NO_DEVICE
                               ? std::string(UnpluggedText)
                               : std::string("reading from the widget failed: ") + libusb_error_name(r)
                                     + " (libftdi1: " + ftdi_get_error_string(o->ctx) + ")";
                return FT_IO_ERROR;
            }
            got += DWORD(r);
            if (std::chrono::steady_clock::now() >= deadline)
                break;
        }
        *delivered = got;
        return FT_OK;
    }

    FT_STATUS write(FT_HANDLE handle, const unsigned char *buffer, DWORD count, DWORD *written) override
    {
        std::shared_ptr<Open> o = find(handle);
        if (!o)
            return FT_INVALID_HANDLE;
        if (count == 0)
            return FT_OK;
        std::lock_guard<std::mutex> lock(o->lock);
        errno = 0;
        const int r = ftdi_write_data(o->ctx, buffer, int(count));
        if (r < 0) {
            // libftdi1 turns every failed transfer into -1; the errno of the
            // submission tells a widget that is gone.
            const int error = errno;
            o->error = error == ENODEV ? std::string(UnpluggedText)
                                       : std::string("writing to the widget failed (libftdi1: ")
                                             + ftdi_get_error_string(o->ctx)
                                             + (error ? "; " + errnoText(error) : std::string()) + ")";
            return FT_IO_ERROR;
        }
        *written = DWORD(r);
        return FT_OK;
    }

    FT_STATUS purge(FT_HANDLE handle, ULONG mask) override
    {
        std::shared_ptr<Open> o = find(handle);
        if (!o)
            return FT_INVALID_HANDLE;
        std::lock_guard<std::mutex> lock(o->lock);
        if ((mask & FT_PURGE_RX) && ftdi_tciflush(o->ctx) < 0)
            return failed(*o, "purging the receive buffer failed");
        if ((mask & FT_PURGE_TX) && ftdi_tcoflush(o->ctx) < 0)
            return failed(*o, "purging the transmit buffer failed");
        return FT_OK;
    }

    FT_STATUS setTimeouts(FT_HANDLE handle, ULONG readMs, ULONG writeMs) override
    {
        std::shared_ptr<Open> o = find(handle);
        if (!o)
            return FT_INVALID_HANDLE;
        std::lock_guard<std::mutex> lock(o->lock);
        o->readTimeoutMs = readMs;
        o->ctx->usb_write_timeout = int(std::max<ULONG>(writeMs, 1));
        // A short transfer time-out keeps a read from overrunning its own.
        o->ctx->usb_read_timeout = int(std::max<ULONG>(std::min<ULONG>(readMs, LongestTransferMs), 1));
        return FT_OK;
    }

    FT_STATUS latencyTimer(FT_HANDLE handle, UCHAR *timer) override
    {
        std::shared_ptr<Open> o = find(handle);
        if (!o)
            return FT_INVALID_HANDLE;
        std::lock_guard<std::mutex> lock(o->lock);
        unsigned char value = 0;
        if (ftdi_get_latency_timer(o->ctx, &value) < 0)
            return failed(*o, "reading the latency timer failed");
        *timer = value;
        return FT_OK;
    }

    FT_STATUS setChars(FT_HANDLE handle, UCHAR eventChar, bool eventEnabled, UCHAR errorChar,
                       bool errorEnabled) override
    {
        std::shared_ptr<Open> o = find(handle);
        if (!o)
            return FT_INVALID_HANDLE;
        std::lock_guard<std::mutex> lock(o->lock);
        if (ftdi_set_event_char(o->ctx, eventChar, eventEnabled) < 0)
            return failed(*o, "setting the event character failed");
        if (ftdi_set_error_char(o->ctx, errorChar, errorEnabled) < 0)
            return failed(*o, "setting the error character failed");
        return FT_OK;
    }

    FT_STATUS driverVersion(FT_HANDLE handle, DWORD *version) override
    {
        if (!find(handle))
            return FT_INVALID_HANDLE;
        const ftdi_version_info v = ftdi_get_library_version();
        *version = (DWORD(v.major & 0xFF) << 16) | (DWORD(v.minor & 0xFF) << 8) | DWORD(v.micro & 0xFF);
        return FT_OK;
    }

    FT_STATUS deviceInfo(FT_HANDLE handle, ULONG *type, DWORD *id, char *serial, char *description) override
    {
        std::shared_ptr<Open> o = find(handle);
        if (!o)
            return FT_INVALID_HANDLE;
        std::lock_guard<std::mutex> lock(o->lock);
        libusb_device_descriptor desc;
        libusb_device *dev = libusb_get_device(o->ctx->usb_dev);
        if (libusb_get_device_descriptor(dev, &desc) != 0)
            return failed(*o, "reading the device descriptor failed");
        *type = chipType(desc);
        *id = (DWORD(desc.idVendor) << 16) | desc.idProduct;
        // Asked of the device itself, over the handle: what is open now.
        const int s = desc.iSerialNumber
                          ? libusb_get_string_descriptor_ascii(o->ctx->usb_dev, desc.iSerialNumber,
                                                               reinterpret_cast<unsigned char *>(serial), 16)
                          : 0;
        const int d = desc.iProduct
                          ? libusb_get_string_descriptor_ascii(o->ctx->usb_dev, desc.iProduct,
                                                               reinterpret_cast<unsigned char *>(description), 64)
                          : 0;
        if (s < 0 || d < 0) {
            o->error = std::string("reading the widget's strings failed: ") + libusb_error_name(s < 0 ? s : d);
            return FT_IO_ERROR;
        }
        return FT_OK;
    }

    // Arrivals and departures since the last device list was started count,
    // those that came while it was made included: libusb calls back from
    // whichever thread handles its events, the list's own string reads and a
    // widget's transfers among them.
    bool waitForDeviceChange(int timeoutMs) override
    {
        libusb_context *usb = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (startUsb() && m_watching)
                usb = m_usb;
        }
        if (!usb)
            return D2xxBackend::waitForDeviceChange(timeoutMs);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            {
                std::lock_guard<std::mutex> changes(m_changeLock);
                if (m_changes != m_changesSeen) {
                    m_changesSeen = m_changes;
                    return true;
                }
            }
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            timeval tv{0, long(std::min<int64_t>(left.count(), 100000))};
            libusb_handle_events_timeout_completed(usb, &tv, nullptr);
        }
    }

    std::string errorText(FT_HANDLE handle) override
    {
        if (!handle)
            return lastListOrOpenError;
        std::shared_ptr<Open> o = find(handle);
        if (!o)
            return std::string();
        std::lock_guard<std::mutex> lock(o->lock);
        return o->error;
    }

private:
    // One open widget: its own libftdi1 context, used by one thread at a time.
    struct Open {
        std::mutex lock;
        ftdi_context *ctx = nullptr;
        ULONG readTimeoutMs = DefaultTimeoutMs;
        std::string error;
    };

    static FT_STATUS failed(Open &o, const char *what)
    {
        o.error = std::string(what) + " (libftdi1: " + ftdi_get_error_string(o.ctx) + ")";
        return FT_IO_ERROR;
    }

    // A libftdi1 context for an open, one kept from an earlier open when
    // there is one. libftdi1 starts a libusb context of its own in each of
    // them, to search for devices, which this backend never asks of it: it
    // is ended at once, since making it scans the whole bus and while it
    // lives it takes in every device that arrives. The opened devices'
    // transfers run on the list's context.
    ftdi_context *takeFtdiContext()
    {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (!m_idleFtdi.empty()) {
                ftdi_context *ctx = m_idleFtdi.back();
                m_idleFtdi.pop_back();
                return ctx;
            }
        }
        ftdi_context *ctx = ftdi_new();
        if (ctx && ctx->usb_ctx) {
            libusb_exit(ctx->usb_ctx);
            ctx->usb_ctx = nullptr;
        }
        return ctx;
    }

    // Takes back a context whose device is closed.
    void putFtdiContext(ftdi_context *ctx)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_idleFtdi.push_back(ctx);
    }

    FT_STATUS openDevice(libusb_device *dev, FT_HANDLE *handle)
    {
        ftdi_context *ctx = takeFtdiContext();
        if (!ctx)
            return FT_INSUFFICIENT_RESOURCES;
        errno = 0;
        const int code = ftdi_usb_open_dev(ctx, dev);
        if (code < 0) {
            const int error = errno;
            lastListOrOpenError = openFailureText(ctx, code, error, dev);
            ftdi_usb_close(ctx);
            putFtdiContext(ctx);
            return FT_DEVICE_NOT_OPENED;
        }
        ftdi_set_latency_timer(ctx, OpenLatencyTimerMs);
        ctx->usb_read_timeout = LongestTransferMs;
        ctx->usb_write_timeout = int(DefaultTimeoutMs);
        auto open = std::make_shared<Open>();
        open->ctx = ctx;
        std::lock_guard<std::mutex> lock(m_lock);
        const uintptr_t id = m_nextHandle++;
        m_open[id] = open;
        *handle = reinterpret_cast<FT_HANDLE>(id);
        return FT_OK;
    }

    // A device's description and serial string, NUL-terminated; a string
    // that fills its list field keeps no NUL there, as on the chip.
    struct Strings {
        char description[sizeof FT_DEVICE_LIST_INFO_NODE::Description + 1] = {};
        char serial[sizeof FT_DEVICE_LIST_INFO_NODE::SerialNumber + 1] = {};
    };
    enum class Asked { Read, Unreadable, Gone };

    // The strings of `dev`, read once while it stays attached (the table
    // locked). Unreadable, with the reason in `why`, when the device cannot
    // be asked (no permission); gone when it left while it was asked.
    Asked stringsOf(libusb_device *dev, Strings *strings, std::string *why)
    {
        const std::vector<uint8_t> key = attachmentKey(dev);
        const auto known = m_strings.find(key);
        if (known != m_strings.end()) {
            *strings = known->second;
            return Asked::Read;
        }
        const Asked asked = readStrings(dev, strings, why);
        if (asked == Asked::Read)
            m_strings[key] = *strings;
        return asked;
    }

    // Asked of the device over a handle of our own on the list's libusb
    // context: a libftdi1 context would start a libusb context of its own,
    // which scans the whole bus.
    static Asked readStrings(libusb_device *dev, Strings *strings, std::string *why)
    {
        libusb_device_descriptor desc;
        int r = libusb_get_device_descriptor(dev, &desc);
        libusb_device_handle *handle = nullptr;
        if (r == 0 && (r = libusb_open(dev, &handle)) == 0) {
            auto read = [&](uint8_t index, char *text, int size) {
                const int n = index ? libusb_get_string_descriptor_ascii(
                                          handle, index, reinterpret_cast<unsigned char *>(text), size)
                                    : 0;
                return std::min(n, 0);
            };
            if ((r = read(desc.iProduct, strings->description, int(sizeof strings->description))) == 0)
                r = read(desc.iSerialNumber, strings->serial, int(sizeof strings->serial));
            libusb_close(handle);
        }
        if (r == 0)
            return Asked::Read;
        // A widget pulled out during its listing is simply not listed. Some
        // host controllers fail the transfer in flight with an I/O error:
        // its device node is then gone too.
        if (r == LIBUSB_ERROR_NO_DEVICE || (access(deviceNode(dev).c_str(), F_OK) != 0 && errno == ENOENT))
            return Asked::Gone;
        *strings = Strings();
        *why = (r == LIBUSB_ERROR_ACCESS
                    ? "no permission to read the description and serial number of " + deviceNode(dev) + ": "
                          + PermissionAdvice
                    : "the description and serial number of " + deviceNode(dev) + " could not be read")
               + " (libusb: " + libusb_error_name(r) + ")";
        return Asked::Unreadable;
    }

    // The handle of ours that has `dev` open, if any (the table locked).
    uintptr_t openHandleOf(libusb_device *dev) const
    {
        for (const auto &o : m_open)
            if (o.second->ctx && o.second->ctx->usb_dev && libusb_get_device(o.second->ctx->usb_dev) == dev)
                return o.first;
        return 0;
    }

    std::shared_ptr<Open> find(FT_HANDLE handle)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = m_open.find(reinterpret_cast<uintptr_t>(handle));
        return it == m_open.end() ? nullptr : it->second;
    }

    static void releaseDevices(std::vector<libusb_device *> &devices)
    {
        for (libusb_device *dev : devices)
            libusb_unref_device(dev);
        devices.clear();
    }

    // Only counts: it may run inside any libusb call of any thread.
    static int LIBUSB_CALL onHotplug(libusb_context *, libusb_device *, libusb_hotplug_event, void *self)
    {
        auto *backend = static_cast<LibftdiBackend *>(self);
        std::lock_guard<std::mutex> changes(backend->m_changeLock);
        ++backend->m_changes;
        return 0;
    }

    // One libusb context for every list, kept: it follows arrivals and
    // departures itself, with no scan of the bus per list.
    bool startUsb()
    {
        if (m_usb)
            return true;
        if (libusb_init(&m_usb) != 0) {
            m_usb = nullptr;
            lastListOrOpenError = "libusb could not be started: is /dev/bus/usb there?";
            return false;
        }
        m_watching = libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)
                     && libusb_hotplug_register_callback(
                            m_usb, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                            LIBUSB_HOTPLUG_NO_FLAGS, FtdiVendor, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                            onHotplug, this, nullptr)
                            == LIBUSB_SUCCESS;
        return true;
    }

    // Every device of the vendor, whatever its product id, in bus order.
    bool enumerate(std::vector<libusb_device *> *devices)
    {
        if (!startUsb())
            return false;
        libusb_device **list = nullptr;
        const ssize_t n = libusb_get_device_list(m_usb, &list);
        if (n < 0) {
            lastListOrOpenError = std::string("the USB devices could not be listed: ") + libusb_error_name(int(n));
            return false;
        }
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor desc;
            if (libusb_get_device_descriptor(list[i], &desc) == 0 && desc.idVendor == FtdiVendor)
                devices->push_back(libusb_ref_device(list[i]));
        }
        libusb_free_device_list(list, 1);
        // libusb lists the newest first; the list stays in the order of the
        // ports, whatever order the devices arrived in.
        std::sort(devices->begin(), devices->end(), [](libusb_device *a, libusb_device *b) {
            return portPath(a) < portPath(b);
        });
        // The strings of a device no longer attached are not asked for again.
        std::set<std::vector<uint8_t>> attached;
        for (libusb_device *dev : *devices)
            attached.insert(attachmentKey(dev));
        for (auto it = m_strings.begin(); it != m_strings.end();)
            it = attached.count(it->first) ? std::next(it) : m_strings.erase(it);
        return true;
    }

    // The list entry of `dev`; false when it left while it was asked.
    bool describe(libusb_device *dev, FT_DEVICE_LIST_INFO_NODE *node)
    {
        std::memset(node, 0, sizeof *node);
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(dev, &desc) == 0) {
            node->ID = (DWORD(desc.idVendor) << 16) | desc.idProduct;
            node->Type = chipType(desc);
        }
        node->LocId = locationId(dev);
        // One that cannot be asked (no permission) is listed with empty
        // strings, and the reason kept.
        Strings strings;
        const Asked asked = stringsOf(dev, &strings, &lastListOrOpenError);
        if (asked == Asked::Gone)
            return false;
        std::memcpy(node->Description, strings.description, strnlen(strings.description, sizeof node->Description));
        std::memcpy(node->SerialNumber, strings.serial, strnlen(strings.serial, sizeof node->SerialNumber));
        if (const uintptr_t id = openHandleOf(dev)) {
            node->Flags |= FT_FLAGS_OPENED;
            node->ftHandle = reinterpret_cast<FT_HANDLE>(id);
        }
        return true;
    }

    std::mutex m_lock; // the device list and the handle table
    libusb_context *m_usb = nullptr;
    std::vector<libusb_device *> m_listed;
    bool m_listMade = false;
    std::vector<FT_DEVICE_LIST_INFO_NODE> m_infoList;
    std::map<uintptr_t, std::shared_ptr<Open>> m_open;
    std::vector<ftdi_context *> m_idleFtdi; // closed, for the next opens
    uintptr_t m_nextHandle = 0x1000;
    // What was read of the devices attached now, by attachmentKey().
    std::map<std::vector<uint8_t>, Strings> m_strings;
    bool m_watching = false; // for arrivals and departures of the vendor's devices
    // Taken inside libusb's event handling: never held across a libusb call.
    std::mutex m_changeLock;
    unsigned m_changes = 0;     // arrivals and departures so far
    unsigned m_changesSeen = 0; // of them, when the last list was started or a wait saw them
};

} // namespace

D2xxBackend *createLibftdiBackend()
{
    return new LibftdiBackend;
}

} // namespace lumora

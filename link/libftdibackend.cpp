// D2XX functions over libftdi1 and libusb, for real widgets on Linux.
#include "d2xxbackend.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <cstdint>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

namespace lumora {

namespace {

constexpr int FtdiVendor = 0x0403;
// A low latency timer hands each short reply (a page status is one byte) to
// the host at once instead of after the chip's default 16 ms.
constexpr unsigned char OpenLatencyTimerMs = 2;
constexpr ULONG DefaultTimeoutMs = 5000;

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

class LibftdiBackend : public D2xxBackend
{
public:
    ~LibftdiBackend() override
    {
        releaseDevices();
        if (m_usb)
            libusb_exit(m_usb);
    }

    const char *name() const override { return "libftdi1"; }

    FT_STATUS createDeviceInfoList(DWORD *count) override
    {
        if (!enumerate())
            return FT_OTHER_ERROR;
        m_infoList.clear();
        for (libusb_device *dev : m_devices)
            m_infoList.push_back(describe(dev));
        *count = DWORD(m_infoList.size());
        return FT_OK;
    }

    FT_STATUS getDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *dest, DWORD capacity, DWORD *count) override
    {
        const DWORD n = std::min(capacity, DWORD(m_infoList.size()));
        std::copy(m_infoList.begin(), m_infoList.begin() + n, dest);
        *count = n;
        return FT_OK;
    }

    FT_STATUS deviceCount(DWORD *count) override
    {
        if (!enumerate())
            return FT_OTHER_ERROR;
        *count = DWORD(m_devices.size());
        return FT_OK;
    }

    FT_STATUS open(int index, FT_HANDLE *handle) override
    {
        if (!enumerate())
            return FT_OTHER_ERROR;
        if (index < 0 || size_t(index) >= m_devices.size())
            return FT_DEVICE_NOT_FOUND;
        ftdi_context *ctx = ftdi_new();
        if (!ctx)
            return FT_INSUFFICIENT_RESOURCES;
        // Busy, no permission, or held by the kernel's serial driver: a
        // failing status, never a crash.
        if (ftdi_usb_open_dev(ctx, m_devices[size_t(index)]) < 0) {
            ftdi_free(ctx);
            return FT_DEVICE_NOT_OPENED;
        }
        ftdi_set_latency_timer(ctx, OpenLatencyTimerMs);
        ctx->usb_read_timeout = int(DefaultTimeoutMs);
        ctx->usb_write_timeout = int(DefaultTimeoutMs);
        const uintptr_t id = m_nextHandle++;
        m_open[id] = {ctx, DefaultTimeoutMs, DefaultTimeoutMs};
        *handle = reinterpret_cast<FT_HANDLE>(id);
        return FT_OK;
    }

    FT_STATUS close(FT_HANDLE handle) override
    {
        auto it = m_open.find(reinterpret_cast<uintptr_t>(handle));
        if (it == m_open.end())
            return FT_INVALID_HANDLE;
        ftdi_usb_close(it->second.ctx);
        ftdi_free(it->second.ctx);
        m_open.erase(it);
        return FT_OK;
    }

    FT_STATUS read(FT_HANDLE handle, unsigned char *buffer, DWORD count, DWORD *delivered) override
    {
        Open *o = find(handle);
        if (!o)
            return FT_INVALID_HANDLE;
        // Collect what arrives within the read time-out; the chip hands over
        // what it has at least once per latency period, so this loop waits in
        // the USB transfer rather than spinning.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(o->readTimeoutMs);
        DWORD got = 0;
        while (got < count) {
            const int r = ftdi_read_data(o->ctx, buffer + got, int(count - got));
            if (r < 0) {
                *delivered = got;
                return FT_IO_ERROR;
            }
            got += DWORD(r);
            if (got >= count || std::chrono::steady_clock::now() >= deadline)
                break;
            if (r == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        *delivered = got;
        return FT_OK;
    }

    FT_STATUS write(FT_HANDLE handle, const unsigned char *buffer, DWORD count, DWORD *written) override
    {
        Open *o = find(handle);
        if (!o)
            return FT_INVALID_HANDLE;
        if (count == 0)
            return FT_OK;
        const int r = ftdi_write_data(o->ctx, buffer, int(count));
        if (r < 0)
            return FT_IO_ERROR;
        *written = DWORD(r);
        return FT_OK;
    }

    FT_STATUS purge(FT_HANDLE handle, ULONG mask) override
    {
        Open *o = find(handle);
        if (!o)
            return FT_INVALID_HANDLE;
        if ((mask & FT_PURGE_RX) && ftdi_tciflush(o->ctx) < 0)
            return FT_IO_ERROR;
        if ((mask & FT_PURGE_TX) && ftdi_tcoflush(o->ctx) < 0)
            return FT_IO_ERROR;
        return FT_OK;
    }

    FT_STATUS setTimeouts(FT_HANDLE handle, ULONG readMs, ULONG writeMs) override
    {
        Open *o = find(handle);
        if (!o)
            return FT_INVALID_HANDLE;
        o->readTimeoutMs = readMs;
        o->writeTimeoutMs = writeMs;
        o->ctx->usb_write_timeout = int(std::max<ULONG>(writeMs, 1));
        // Each bulk read returns after at most one latency period anyway; a
        // short transfer time-out keeps a read from overrunning its own.
        o->ctx->usb_read_timeout = int(std::max<ULONG>(std::min<ULONG>(readMs, 50), 1));
        return FT_OK;
    }

    FT_STATUS latencyTimer(FT_HANDLE handle, UCHAR *timer) override
    {
        Open *o = find(handle);
        if (!o)
            return FT_INVALID_HANDLE;
        unsigned char value = 0;
        if (ftdi_get_latency_timer(o->ctx, &value) < 0)
            return FT_IO_ERROR;
        *timer = value;
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

private:
    struct Open {
        ftdi_context *ctx;
        ULONG readTimeoutMs;
        ULONG writeTimeoutMs;
    };

    Open *find(FT_HANDLE handle)
    {
        auto it = m_open.find(reinterpret_cast<uintptr_t>(handle));
        return it == m_open.end() ? nullptr : &it->second;
    }

    void releaseDevices()
    {
        for (libusb_device *dev : m_devices)
            libusb_unref_device(dev);
        m_devices.clear();
    }

    // Every device of the vendor, whatever its product id, in bus order.
    bool enumerate()
    {
        if (!m_usb && libusb_init(&m_usb) != 0) {
            m_usb = nullptr;
            return false;
        }
        libusb_device **list = nullptr;
        const ssize_t n = libusb_get_device_list(m_usb, &list);
        if (n < 0)
            return false;
        releaseDevices();
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor desc;
            if (libusb_get_device_descriptor(list[i], &desc) == 0 && desc.idVendor == FtdiVendor)
                m_devices.push_back(libusb_ref_device(list[i]));
        }
        libusb_free_device_list(list, 1);
        return true;
    }

    FT_DEVICE_LIST_INFO_NODE describe(libusb_device *dev)
    {
        FT_DEVICE_LIST_INFO_NODE node;
        std::memset(&node, 0, sizeof node);
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(dev, &desc) == 0) {
            node.ID = (DWORD(desc.idVendor) << 16) | desc.idProduct;
            node.Type = chipType(desc);
        }
        node.LocId = (DWORD(libusb_get_bus_number(dev)) << 4) | DWORD(libusb_get_port_number(dev));
        // The strings need the device itself; one that cannot be asked (busy,
        // no permission) is listed with empty strings.
        ftdi_context *ctx = ftdi_new();
        if (ctx) {
            char description[sizeof node.Description + 1] = {};
            char serial[sizeof node.SerialNumber + 1] = {};
            if (ftdi_usb_get_strings(ctx, dev, nullptr, 0, description, sizeof description, serial,
                                     sizeof serial) == 0) {
                // A string that fills its field keeps no NUL, as on the chip.
                std::memcpy(node.Description, description, strnlen(description, sizeof node.Description));
                std::memcpy(node.SerialNumber, serial, strnlen(serial, sizeof node.SerialNumber));
            }
            ftdi_free(ctx);
        }
        for (const auto &o : m_open)
            if (o.second.ctx->usb_dev && libusb_get_device(o.second.ctx->usb_dev) == dev)
                node.Flags |= FT_FLAGS_OPENED;
        return node;
    }

    libusb_context *m_usb = nullptr;
    std::vector<libusb_device *> m_devices;
    std::vector<FT_DEVICE_LIST_INFO_NODE> m_infoList;
    std::map<uintptr_t, Open> m_open;
    uintptr_t m_nextHandle = 0x1000;
};

} // namespace

D2xxBackend *createLibftdiBackend()
{
    return new LibftdiBackend;
}

} // namespace lumora

// Open widgets: a handle each, with its own libftdi1 context, and the
// transfers on it.
#include "libftdibackend.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

namespace lumora {

namespace {

// A low latency timer hands each short reply (a page status is one byte) to
// the host at once instead of after the chip's default 16 ms.
constexpr unsigned char OpenLatencyTimerMs = 2;
constexpr ULONG DefaultTimeoutMs = 5000;
// Each bulk read returns after at most one latency period when the chip is
// alive; a transfer that waits this long (fifty periods of 2 ms: room for a
// busy host) means the chip has hung.
constexpr int LongestTransferMs = 100;

} // namespace

struct LibftdiBackend::Open {
    std::mutex lock;
    ftdi_context *ctx = nullptr;
    ULONG readTimeoutMs = DefaultTimeoutMs;
    std::string error;

    FT_STATUS failed(const char *what)
    {
        error = callFailureText(ctx, what);
        return FT_IO_ERROR;
    }
};

LibftdiBackend::~LibftdiBackend()
{
    for (auto &o : m_open) {
        ftdi_usb_close(o.second->ctx);
        ftdi_free(o.second->ctx);
    }
    for (ftdi_context *ctx : m_idleFtdi)
        ftdi_free(ctx);
    if (m_usb)
        libusb_exit(m_usb);
}

std::shared_ptr<LibftdiBackend::Open> LibftdiBackend::find(FT_HANDLE handle)
{
    std::lock_guard<std::mutex> lock(m_handlesLock);
    auto it = m_open.find(reinterpret_cast<uintptr_t>(handle));
    return it == m_open.end() ? nullptr : it->second;
}

template <typename Action>
FT_STATUS LibftdiBackend::onOpen(FT_HANDLE handle, Action action)
{
    const std::shared_ptr<Open> o = find(handle);
    if (!o)
        return FT_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(o->lock);
    return action(*o);
}

FT_HANDLE LibftdiBackend::openHandleOf(libusb_device *dev)
{
    std::lock_guard<std::mutex> lock(m_handlesLock);
    for (const auto &o : m_open)
        if (o.second->ctx && o.second->ctx->usb_dev && libusb_get_device(o.second->ctx->usb_dev) == dev)
            return reinterpret_cast<FT_HANDLE>(o.first);
    return nullptr;
}

// A libftdi1 context for an open, one kept from an earlier open when there
// is one. libftdi1 starts a libusb context of its own in each of them, to
// search for devices, which this backend never asks of it: it is ended at
// once, since making it scans the whole bus and while it lives it takes in
// every device that arrives. The opened devices' transfers run on the
// list's context.
ftdi_context *LibftdiBackend::takeFtdiContext()
{
    {
        std::lock_guard<std::mutex> lock(m_handlesLock);
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
void LibftdiBackend::putFtdiContext(ftdi_context *ctx)
{
    std::lock_guard<std::mutex> lock(m_handlesLock);
    m_idleFtdi.push_back(ctx);
}

FT_STATUS LibftdiBackend::openDevice(libusb_device *dev, FT_HANDLE *handle)
{
    ftdi_context *ctx = takeFtdiContext();
    if (!ctx)
        return FT_INSUFFICIENT_RESOURCES;
    errno = 0;
    const int code = ftdi_usb_open_dev(ctx, dev);
    if (code < 0) {
        const int error = errno;
        threadError() = openFailureText(ctx, code, error, dev);
        ftdi_usb_close(ctx);
        putFtdiContext(ctx);
        return FT_DEVICE_NOT_OPENED;
    }
    ftdi_set_latency_timer(ctx, OpenLatencyTimerMs);
    ctx->usb_read_timeout = LongestTransferMs;
    ctx->usb_write_timeout = int(DefaultTimeoutMs);
    auto open = std::make_shared<Open>();
    open->ctx = ctx;
    std::lock_guard<std::mutex> lock(m_handlesLock);
    const uintptr_t id = m_nextHandle++;
    m_open[id] = open;
    *handle = reinterpret_cast<FT_HANDLE>(id);
    return FT_OK;
}

FT_STATUS LibftdiBackend::close(FT_HANDLE handle)
{
    std::shared_ptr<Open> o;
    {
        std::lock_guard<std::mutex> lock(m_handlesLock);
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

FT_STATUS LibftdiBackend::read(FT_HANDLE handle, unsigned char *buffer, DWORD count, DWORD *delivered)
{
    return onOpen(handle, [&](Open &o) {
        // Collect what arrives within the read time-out. The chip answers
        // an empty bulk read only when its latency timer runs out, so this
        // loop waits in the USB transfer: a pause between reads would only
        // delay a reply (measured: no fewer transfers per page).
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(o.readTimeoutMs);
        DWORD got = 0;
        while (got < count) {
            const int r = ftdi_read_data(o.ctx, buffer + got, int(count - got));
            if (r < 0) {
                *delivered = got;
                o.error = readFailureText(o.ctx, r);
                return FT_IO_ERROR;
            }
            got += DWORD(r);
            if (std::chrono::steady_clock::now() >= deadline)
                break;
        }
        *delivered = got;
        return FT_OK;
    });
}

FT_STATUS LibftdiBackend::write(FT_HANDLE handle, const unsigned char *buffer, DWORD count, DWORD *written)
{
    return onOpen(handle, [&](Open &o) {
        if (count == 0)
            return FT_STATUS(FT_OK);
        errno = 0;
        const int r = ftdi_write_data(o.ctx, buffer, int(count));
        if (r < 0) {
            o.error = writeFailureText(o.ctx, errno);
            return FT_STATUS(FT_IO_ERROR);
        }
        *written = DWORD(r);
        return FT_STATUS(FT_OK);
    });
}

FT_STATUS LibftdiBackend::purge(FT_HANDLE handle, ULONG mask)
{
    return onOpen(handle, [&](Open &o) {
        if ((mask & FT_PURGE_RX) && ftdi_tciflush(o.ctx) < 0)
            return o.failed("purging the receive buffer failed");
        if ((mask & FT_PURGE_TX) && ftdi_tcoflush(o.ctx) < 0)
            return o.failed("purging the transmit buffer failed");
        return FT_STATUS(FT_OK);
    });
}

FT_STATUS LibftdiBackend::setTimeouts(FT_HANDLE handle, ULONG readMs, ULONG writeMs)
{
    return onOpen(handle, [&](Open &o) {
        o.readTimeoutMs = readMs;
        o.ctx->usb_write_timeout = int(std::max<ULONG>(writeMs, 1));
        // A short transfer time-out keeps a read from overrunning its own.
        o.ctx->usb_read_timeout = int(std::max<ULONG>(std::min<ULONG>(readMs, LongestTransferMs), 1));
        return FT_STATUS(FT_OK);
    });
}

FT_STATUS LibftdiBackend::latencyTimer(FT_HANDLE handle, UCHAR *timer)
{
    return onOpen(handle, [&](Open &o) {
        unsigned char value = 0;
        if (ftdi_get_latency_timer(o.ctx, &value) < 0)
            return o.failed("reading the latency timer failed");
        *timer = value;
        return FT_STATUS(FT_OK);
    });
}

FT_STATUS LibftdiBackend::setChars(FT_HANDLE handle, UCHAR eventChar, bool eventEnabled, UCHAR errorChar,
                                   bool errorEnabled)
{
    return onOpen(handle, [&](Open &o) {
        if (ftdi_set_event_char(o.ctx, eventChar, eventEnabled) < 0)
            return o.failed("setting the event character failed");
        if (ftdi_set_error_char(o.ctx, errorChar, errorEnabled) < 0)
            return o.failed("setting the error character failed");
        return FT_STATUS(FT_OK);
    });
}

FT_STATUS LibftdiBackend::driverVersion(FT_HANDLE handle, DWORD *version)
{
    return onOpen(handle, [&](Open &) {
        const ftdi_version_info v = ftdi_get_library_version();
        *version = (DWORD(v.major & 0xFF) << 16) | (DWORD(v.minor & 0xFF) << 8) | DWORD(v.micro & 0xFF);
        return FT_STATUS(FT_OK);
    });
}

FT_STATUS LibftdiBackend::deviceInfo(FT_HANDLE handle, DeviceEntry *device)
{
    return onOpen(handle, [&](Open &o) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(libusb_get_device(o.ctx->usb_dev), &desc) != 0)
            return o.failed("reading the device descriptor failed");
        device->type = chipType(desc);
        device->id = (DWORD(desc.idVendor) << 16) | desc.idProduct;
        // Asked of the device itself, over the handle: what is open now.
        UsbStrings strings;
        const int r = readStrings(o.ctx->usb_dev, desc, &strings);
        if (r < 0) {
            o.error = r == LIBUSB_ERROR_NO_DEVICE ? std::string(UnpluggedText)
                                                  : std::string("reading the widget's strings failed: ")
                                                        + libusb_error_name(r);
            return FT_STATUS(FT_IO_ERROR);
        }
        device->serial = strings.serial;
        device->description = strings.description;
        return FT_STATUS(FT_OK);
    });
}

std::string LibftdiBackend::errorText(FT_HANDLE handle)
{
    if (!handle)
        return threadError();
    std::string text;
    onOpen(handle, [&](Open &o) {
        text = o.error;
        return FT_STATUS(FT_OK);
    });
    return text;
}

D2xxBackend *createLibftdiBackend()
{
    return new LibftdiBackend;
}

} // namespace lumora

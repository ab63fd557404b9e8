// D2XX functions over libftdi1 and libusb, for real widgets on Linux. One
// libusb context, kept, serves every listing, the hotplug notices and the
// open widgets' transfers: it follows arrivals and departures itself, with
// no scan of the bus per list.
//   listing.cpp    where devices sit, their strings, listings and opens
//   hotplug.cpp    the context, the arrivals and departures it counts
//   handles.cpp    open widgets: their handles and transfers
//   errortexts.cpp what the user is told when something fails
#ifndef LUMORA_LIBFTDIBACKEND_H
#define LUMORA_LIBFTDIBACKEND_H

#include "d2xxbackend.h"

#include <QByteArray>

#include <ftdi.h>
#include <libusb.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace lumora {

constexpr int FtdiVendor = 0x0403;

// A device of the bus, held as long as the pointer lives.
using UsbDevice = std::shared_ptr<libusb_device>;

// A device's description and serial string, whole.
struct UsbStrings {
    QByteArray description, serial;
};

class LibftdiBackend : public D2xxBackend
{
public:
    ~LibftdiBackend() override;
    const char *name() const override { return "libftdi1"; }

    DeviceList listDevices() override;
    FT_STATUS deviceCount(DWORD *count) override;
    FT_STATUS openEntry(const DeviceEntry &entry, FT_HANDLE *handle) override;
    FT_STATUS openByLocation(DWORD location, FT_HANDLE *handle) override;
    FT_STATUS openBySerial(const char *serial, FT_HANDLE *handle) override;
    bool waitForDeviceChange(const DeviceList &since, int timeoutMs) override;

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
    std::string errorText(FT_HANDLE handle) override;

private:
    // One open widget: its own libftdi1 context, used by one thread at a time.
    struct Open;
    enum class Asked { Read, Unreadable, Gone };

    // The list's libusb context, started (with its hotplug notices) at the
    // first call; null, with the reason as the thread's error, when libusb
    // cannot be started. `watching`: whether arrivals are noticed.
    libusb_context *context(bool *watching = nullptr);
    static int LIBUSB_CALL onHotplug(libusb_context *, libusb_device *, libusb_hotplug_event, void *self);
    // Every device of the vendor, whatever its product id, in port order.
    bool attached(std::vector<UsbDevice> *devices);
    // The strings of `devices`, each read once while it stays attached
    // (m_listLock held). Unreadable, with the reason in `why`, when a device
    // cannot be asked (no permission); gone when it left while it was asked.
    std::vector<Asked> stringsOf(const std::vector<UsbDevice> &devices, std::vector<UsbStrings> *strings,
                                 std::string *why);

    std::shared_ptr<Open> find(FT_HANDLE handle);
    // Runs `action` on the open widget of `handle`, locked; a handle this
    // backend did not give out, or closed, is FT_INVALID_HANDLE.
    template <typename Action>
    FT_STATUS onOpen(FT_HANDLE handle, Action action);
    FT_STATUS openDevice(libusb_device *dev, FT_HANDLE *handle);
    // The handle of ours that has `dev` open; null when none has.
    FT_HANDLE openHandleOf(libusb_device *dev);
    ftdi_context *takeFtdiContext();
    void putFtdiContext(ftdi_context *ctx);

    std::mutex m_usbLock; // starting the context
    libusb_context *m_usb = nullptr;
    bool m_watching = false; // for arrivals and departures of the vendor's devices
    // Arrivals and departures so far; the hotplug notices only count them.
    std::atomic<unsigned> m_changes{0};

    std::mutex m_listLock; // the strings; taken before m_handlesLock
    // What was read of the devices attached now, by attachmentKey().
    std::map<std::vector<uint8_t>, UsbStrings> m_strings;

    std::mutex m_handlesLock; // the handle table and the idle contexts
    std::map<uintptr_t, std::shared_ptr<Open>> m_open;
    std::vector<ftdi_context *> m_idleFtdi; // closed, for the next opens
    uintptr_t m_nextHandle = 0x1000;
};

// Where a device sits (listing.cpp).
ULONG chipType(const libusb_device_descriptor &d);
// Bus number, then the port numbers from the root hub down.
std::vector<uint8_t> portPath(libusb_device *dev);
DWORD locationId(libusb_device *dev);
std::string deviceNode(libusb_device *dev);
// The description and serial string, asked of the device over `handle`; a
// libusb error code, or 0.
int readStrings(libusb_device_handle *handle, const libusb_device_descriptor &desc, UsbStrings *strings);

// What the user is told (errortexts.cpp).
extern const char UnpluggedText[];
// When ftdi_usb_open_dev failed with `code` and errno `error`.
std::string openFailureText(ftdi_context *ctx, int code, int error, libusb_device *dev);
// When the device's strings could not be read for the list.
std::string unreadableStringsText(int code, libusb_device *dev);
std::string readFailureText(ftdi_context *ctx, int code);
std::string writeFailureText(ftdi_context *ctx, int error);
// `what` failed, with libftdi1's words.
std::string callFailureText(ftdi_context *ctx, const char *what);

} // namespace lumora

#endif

// Where the vendor's devices sit on the bus, what their strings say, the
// device list as a value and the opens that find a device without one.
#include "bytetext.h"
#include "libftdibackend.h"

#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <set>
#include <thread>

#include <unistd.h>

namespace lumora {

namespace {

// English (United States): asked when a device names no language.
constexpr uint16_t DefaultLanguage = 0x0409;

UsbDevice held(libusb_device *dev)
{
    return UsbDevice(libusb_ref_device(dev), libusb_unref_device);
}

// The key of a device's strings: where it sits, then its address.
std::vector<uint8_t> attachmentKey(libusb_device *dev)
{
    std::vector<uint8_t> key = portPath(dev);
    key.push_back(libusb_get_device_address(dev));
    return key;
}

// String descriptor `index` in `language`: UTF-16LE, surrogate pairs
// included, carried as UTF-8 (bytesFromText()).
int readString(libusb_device_handle *handle, uint8_t index, uint16_t language, QByteArray *text)
{
    text->clear();
    if (index == 0)
        return 0;
    unsigned char descriptor[255];
    const int n = libusb_get_string_descriptor(handle, index, language, descriptor, int(sizeof descriptor));
    if (n < 0)
        return n;
    if (n < 2 || descriptor[1] != LIBUSB_DT_STRING)
        return LIBUSB_ERROR_IO;
    const int length = std::min(n, int(descriptor[0]));
    QString units;
    for (int i = 2; i + 1 < length; i += 2)
        units += QChar(ushort(descriptor[i] | (descriptor[i + 1] << 8)));
    *text = bytesFromText(units);
    return 0;
}

} // namespace

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

std::vector<uint8_t> portPath(libusb_device *dev)
{
    uint8_t ports[8];
    const int n = libusb_get_port_numbers(dev, ports, int(sizeof ports));
    std::vector<uint8_t> path(1 + size_t(std::max(n, 0)));
    path[0] = libusb_get_bus_number(dev);
    std::copy(ports, ports + std::max(n, 0), path.begin() + 1);
    return path;
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

std::string deviceNode(libusb_device *dev)
{
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", unsigned(libusb_get_bus_number(dev)),
                  unsigned(libusb_get_device_address(dev)));
    return node;
}

int readStrings(libusb_device_handle *handle, const libusb_device_descriptor &desc, UsbStrings *strings)
{
    uint16_t language = DefaultLanguage;
    if (desc.iProduct || desc.iSerialNumber) {
        // The languages the device has: the first one is asked for.
        unsigned char languages[255];
        const int n = libusb_get_string_descriptor(handle, 0, 0, languages, int(sizeof languages));
        if (n < 0)
            return n;
        if (n >= 4)
            language = uint16_t(languages[2] | (languages[3] << 8));
    }
    const int r = readString(handle, desc.iProduct, language, &strings->description);
    return r < 0 ? r : readString(handle, desc.iSerialNumber, language, &strings->serial);
}

bool LibftdiBackend::attached(std::vector<UsbDevice> *devices)
{
    libusb_context *usb = context();
    if (!usb)
        return false;
    libusb_device **list = nullptr;
    const ssize_t n = libusb_get_device_list(usb, &list);
    if (n < 0) {
        threadError() = std::string("the USB devices could not be listed: ") + libusb_error_name(int(n));
        return false;
    }
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(list[i], &desc) == 0 && desc.idVendor == FtdiVendor)
            devices->push_back(held(list[i]));
    }
    libusb_free_device_list(list, 1);
    // libusb lists the newest first; the list stays in the order of the
    // ports, whatever order the devices arrived in.
    std::sort(devices->begin(), devices->end(),
              [](const UsbDevice &a, const UsbDevice &b) { return portPath(a.get()) < portPath(b.get()); });
    return true;
}

std::vector<LibftdiBackend::Asked> LibftdiBackend::stringsOf(const std::vector<UsbDevice> &devices,
                                                             std::vector<UsbStrings> *strings, std::string *why)
{
    strings->assign(devices.size(), UsbStrings());
    std::vector<int> codes(devices.size(), 0);
    std::vector<std::thread> readers;
    for (size_t i = 0; i < devices.size(); ++i) {
        const auto known = m_strings.find(attachmentKey(devices[i].get()));
        if (known != m_strings.end()) {
            (*strings)[i] = known->second;
            continue;
        }
        // Each new device over a handle of its own on the list's libusb
        // context (a libftdi1 context would start a libusb context of its
        // own, which scans the whole bus), all at once: a burst of arrivals
        // costs the transfers of one.
        readers.emplace_back([&, i] {
            libusb_device *dev = devices[i].get();
            libusb_device_descriptor desc;
            libusb_device_handle *handle = nullptr;
            int &r = codes[i];
            if ((r = libusb_get_device_descriptor(dev, &desc)) == 0 && (r = libusb_open(dev, &handle)) == 0) {
                r = readStrings(handle, desc, &(*strings)[i]);
                libusb_close(handle);
            }
        });
    }
    for (std::thread &reader : readers)
        reader.join();
    std::vector<Asked> asked(devices.size(), Asked::Read);
    for (size_t i = 0; i < devices.size(); ++i) {
        libusb_device *dev = devices[i].get();
        const int r = codes[i];
        if (r == 0) {
            m_strings[attachmentKey(dev)] = (*strings)[i];
        } else if (r == LIBUSB_ERROR_NO_DEVICE || (access(deviceNode(dev).c_str(), F_OK) != 0 && errno == ENOENT)) {
            // A widget pulled out while it was asked is simply not listed.
            // Some host controllers fail the transfer in flight with an I/O
            // error: its device node is then gone too.
            asked[i] = Asked::Gone;
        } else {
            asked[i] = Asked::Unreadable;
            (*strings)[i] = UsbStrings();
            *why = unreadableStringsText(r, dev);
        }
    }
    return asked;
}

DeviceList LibftdiBackend::listDevices()
{
    threadError().clear();
    DeviceList list;
    // Read before the listing: a device that comes or goes from now on, even
    // while this list is being made, ends the next wait on it at once.
    const bool started = context() != nullptr;
    list.generation = m_changes.load();
    // Listed under the lock: a listing that began earlier cannot take a
    // device that arrived since for one that left.
    std::lock_guard<std::mutex> lock(m_listLock);
    std::vector<UsbDevice> devices;
    if (!started || !attached(&devices)) {
        list.why = threadError();
        return list;
    }
    list.read = true;
    // The strings of a device no longer attached are not asked for again.
    std::set<std::vector<uint8_t>> present;
    for (const UsbDevice &dev : devices)
        present.insert(attachmentKey(dev.get()));
    for (auto it = m_strings.begin(); it != m_strings.end();)
        it = present.count(it->first) ? std::next(it) : m_strings.erase(it);

    std::vector<UsbStrings> strings;
    const std::vector<Asked> asked = stringsOf(devices, &strings, &list.why);
    for (size_t i = 0; i < devices.size(); ++i) {
        if (asked[i] == Asked::Gone)
            continue;
        libusb_device *dev = devices[i].get();
        DeviceEntry entry;
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(dev, &desc) == 0) {
            entry.id = (DWORD(desc.idVendor) << 16) | desc.idProduct;
            entry.type = chipType(desc);
        }
        entry.location = locationId(dev);
        // One that cannot be asked (no permission) is listed with empty
        // strings, and the reason kept.
        entry.stringsRead = asked[i] == Asked::Read;
        entry.serial = strings[i].serial;
        entry.description = strings[i].description;
        entry.heldBy = openHandleOf(dev);
        entry.device = devices[i];
        list.entries.append(entry);
    }
    threadError() = list.why;
    return list;
}

FT_STATUS LibftdiBackend::deviceCount(DWORD *count)
{
    std::vector<UsbDevice> devices;
    if (!attached(&devices))
        return FT_OTHER_ERROR;
    *count = DWORD(devices.size());
    return FT_OK;
}

FT_STATUS LibftdiBackend::openEntry(const DeviceEntry &entry, FT_HANDLE *handle)
{
    if (!entry.device)
        return openByLocation(entry.location, handle);
    threadError().clear();
    // The device the list named, even if another has taken its place on the
    // bus since; a device pulled out fails to open.
    return openDevice(static_cast<libusb_device *>(entry.device.get()), handle);
}

FT_STATUS LibftdiBackend::openByLocation(DWORD location, FT_HANDLE *handle)
{
    threadError().clear();
    std::vector<UsbDevice> devices;
    if (!attached(&devices))
        return FT_OTHER_ERROR;
    for (const UsbDevice &dev : devices)
        if (locationId(dev.get()) == location)
            return openDevice(dev.get(), handle);
    threadError() = locationGoneText(location);
    return FT_DEVICE_NOT_FOUND;
}

FT_STATUS LibftdiBackend::openBySerial(const char *serial, FT_HANDLE *handle)
{
    threadError().clear();
    std::vector<UsbDevice> devices;
    if (!attached(&devices))
        return FT_OTHER_ERROR;
    UsbDevice found;
    std::string unreadable;
    {
        std::lock_guard<std::mutex> lock(m_listLock);
        std::vector<UsbStrings> strings;
        const std::vector<Asked> asked = stringsOf(devices, &strings, &unreadable);
        // One of ours that is open already is taken only when no other
        // device has this serial; its open then says who holds it.
        for (size_t i = 0; i < devices.size(); ++i) {
            if (asked[i] != Asked::Read || strings[i].serial != serial)
                continue;
            found = devices[i];
            if (!openHandleOf(found.get()))
                break;
        }
    }
    if (!found) {
        threadError() = std::string("no widget with serial ") + serial + " is plugged in"
                        + (unreadable.empty() ? std::string() : "; " + unreadable);
        return FT_DEVICE_NOT_FOUND;
    }
    return openDevice(found.get(), handle);
}

} // namespace lumora

#include "usbchip.h"

#include <umockdev.h>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace lumora {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int PacketSize = 64;
constexpr unsigned char ModemStatus[2] = {0x01, 0x60};
constexpr unsigned char EndpointIn = 0x81, EndpointOut = 0x02;
// The device node always polls writable under umockdev, so libusb asks for
// finished URBs without pause. A reap that finds none while some are in
// flight is answered when one finishes, or after this long: the wait poll()
// would have made.
constexpr auto LongestReapHold = std::chrono::milliseconds(5);

// Device descriptor, then the configuration: interface 0 with bulk IN 0x81
// and bulk OUT 0x02 of 64 bytes.
const unsigned char Descriptors[] = {
    0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x08, 0x03, 0x04, 0x01, 0x60, 0x00, 0x06, 0x01, 0x02, 0x03, 0x01,
    0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0xA0, 0x2D, 0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0x02,
    0x07, 0x05, EndpointIn, 0x02, PacketSize, 0x00, 0x00, 0x07, 0x05, EndpointOut, 0x02, PacketSize, 0x00, 0x00,
};
constexpr int DeviceDescriptorSize = 18;

QByteArray stringDescriptor(const QByteArray &text)
{
    QByteArray d;
    d.append(char(2 + 2 * text.size())).append(char(3));
    for (char c : text)
        d.append(c).append('\0');
    return d;
}

// The memory an ioctl argument points to; umockdev writes it back to the
// client when the ioctl completes, and the argument keeps it until then.
template <typename T>
T *resolved(UMockdevIoctlData *arg)
{
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(arg, 0, sizeof(T), nullptr);
    g_object_unref(data);
    return reinterpret_cast<T *>(data->data);
}

usbdevfs_urb *urbOf(UMockdevIoctlData *data) { return reinterpret_cast<usbdevfs_urb *>(data->data); }

void release(UMockdevIoctlData *data)
{
    if (data)
        g_object_unref(data);
}

void complete(UMockdevIoctlClient *client, int error)
{
    umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
}

// Hands the oldest finished URB to a reap of `client`.
template <typename Client>
void deliver(UMockdevIoctlClient *client, Client &c, UMockdevIoctlData *slot)
{
    const auto u = c.done.front();
    c.done.pop_front();
    umockdev_ioctl_data_set_ptr(slot, 0, u.urb);
    complete(client, 0);
    release(slot);
    release(u.buffer);
    release(u.urb);
}

template <typename Client>
void forget(Client &c)
{
    for (auto *queue : {&c.waiting, &c.done})
        for (const auto &u : *queue) {
            release(u.buffer);
            release(u.urb);
        }
    if (c.heldReap) {
        release(c.heldSlot);
        g_object_unref(c.heldReap);
    }
}

} // namespace

UsbChip::UsbChip(UsbChipBus &bus, const EmulatedWidgetInfo &info, int port)
    : serial(info.serialString)
    , devNode("/dev/bus/usb/001/" + QByteArray::number(port + 1).rightJustified(3, '0').toStdString())
    , m_bus(bus)
    , m_lock(bus.m_lock)
    , m_widget(info)
    , m_port(port)
    , m_sysPath("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(port))
{
}

UsbChip::~UsbChip()
{
    for (auto &entry : m_clients) {
        forget(entry.second);
        g_object_unref(entry.first);
    }
    if (m_handler)
        g_object_unref(m_handler);
}

std::string UsbChip::sysfsText() const
{
    QByteArray hex;
    for (unsigned char b : Descriptors)
        hex += QByteArray::number(b | 0x100, 16).mid(1);
    const QByteArray address = QByteArray::number(m_port + 1);
    return ("P: " + QByteArray::fromStdString(m_sysPath).mid(4) + "\nN: " + QByteArray::fromStdString(devNode).mid(5)
            + "\nE: DEVNAME=" + QByteArray::fromStdString(devNode) + "\nE: BUSNUM=001\nE: DEVNUM="
            + address.rightJustified(3, '0') + "\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: PRODUCT=403/6001/600"
            + "\nE: SUBSYSTEM=usb\nA: bConfigurationValue=1\nA: bNumConfigurations=1\nA: bcdDevice=0600"
            + "\nA: busnum=1\nA: devnum=" + address + "\nA: idProduct=6001\nA: idVendor=0403\nA: speed=12"
            + "\nA: manufacturer=Lumora\nA: product=" + m_widget.info.description + "\nA: serial=" + serial
            + "\nH: descriptors=" + hex + "\n")
        .toStdString();
}

int UsbChip::latencyTimer() const { std::lock_guard<std::mutex> l(m_lock); return m_latencyMs; }
bool UsbChip::driverBound() const { std::lock_guard<std::mutex> l(m_lock); return m_driverBound; }
void UsbChip::setRefuseDetach(bool refuse) { std::lock_guard<std::mutex> l(m_lock); m_refuseDetach = refuse; }
void UsbChip::unplug() { std::lock_guard<std::mutex> l(m_lock); unplugLocked(); }

bool UsbChip::claimed()
{
    std::lock_guard<std::mutex> l(m_lock);
    dropVanishedClients();
    return m_claimedBy != nullptr;
}

void UsbChip::setHung(bool hung)
{
    std::lock_guard<std::mutex> l(m_lock);
    m_hung = hung;
    m_bus.m_wake.notify_all();
}

void UsbChip::unplugLocked()
{
    if (!m_plugged)
        return;
    m_plugged = false;
    m_widget.unplug();
    // What was in flight comes back failed; after that every ioctl fails.
    for (auto &entry : m_clients) {
        Client &c = entry.second;
        for (Urb &u : c.waiting) {
            urbOf(u.urb)->status = -ENODEV;
            c.done.push_back(u);
        }
        c.waiting.clear();
    }
    m_bus.m_leaving.push_back(this);
    m_bus.m_wake.notify_all();
}

// umockdev 0.17 never emits client-vanished; a client that closed the node,
// or died, shows as no longer connected.
void UsbChip::dropVanishedClients()
{
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        if (umockdev_ioctl_client_get_connected(it->first)) {
            ++it;
            continue;
        }
        forget(it->second);
        if (m_claimedBy == it->first)
            m_claimedBy = nullptr;
        g_object_unref(it->first);
        it = m_clients.erase(it);
    }
}

void UsbChip::ioctl(UMockdevIoctlClient *client)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> lock(m_lock);
    dropVanishedClients();
    if (!m_clients.count(client))
        g_object_ref(client);
    Client &c = m_clients[client];
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY)
        return reap(client, c, umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr));
    int error = 0;
    if (!m_plugged) {
        error = ENODEV;
    } else if (request == USBDEVFS_GET_CAPABILITIES) {
        *resolved<uint32_t>(arg) = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION
                                   | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
    } else if (request == USBDEVFS_GETDRIVER) {
        auto *d = resolved<usbdevfs_getdriver>(arg);
        if (d->interface != 0 || !(m_driverBound || m_claimedBy))
            error = d->interface != 0 ? EINVAL : ENODATA;
        else
            std::strcpy(d->driver, m_driverBound ? "ftdi_sio" : "usbfs");
    } else if (request == USBDEVFS_IOCTL) {
        if (resolved<usbdevfs_ioctl>(arg)->ioctl_code != int(USBDEVFS_DISCONNECT))
            error = ENOTTY;
        else if (!m_driverBound || m_refuseDetach)
            error = m_driverBound ? EBUSY : ENODATA;
        else
            m_driverBound = false;
    } else if (request == USBDEVFS_CLAIMINTERFACE) {
        if (*resolved<unsigned>(arg) != 0)
            error = ENOENT;
        else if (m_driverBound || (m_claimedBy && m_claimedBy != client))
            error = EBUSY;
        else
            m_claimedBy = client;
    } else if (request == USBDEVFS_RELEASEINTERFACE) {
        error = m_claimedBy == client ? 0 : EINVAL;
        if (!error)
            m_claimedBy = nullptr;
    } else if (request == USBDEVFS_SUBMITURB) {
        error = submit(c, arg);
    } else if (request == USBDEVFS_DISCARDURB) {
        // A discarded URB is still reaped, with -ENOENT.
        const gulong address = *reinterpret_cast<const gulong *>(arg->data);
        auto it = std::find_if(c.waiting.begin(), c.waiting.end(),
                               [&](const Urb &u) { return u.urb->client_addr == address; });
        error = it == c.waiting.end() ? EINVAL : 0;
        if (!error) {
            urbOf(it->urb)->status = -ENOENT;
            c.done.push_back(*it);
            c.waiting.erase(it);
        }
    } else {
        qWarning("usbchip: ioctl 0x%lx not emulated", request);
        error = ENOTTY;
    }
    complete(client, error);
    if (!m_widget.plugged()) // pulled out by one of its own knobs
        unplugLocked();
    m_bus.m_wake.notify_all();
}

int UsbChip::submit(Client &c, UMockdevIoctlData *arg)
{
    Urb u;
    u.urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    usbdevfs_urb *urb = urbOf(u.urb);
    const int length = urb->buffer_length;
    if (length > 0)
        u.buffer = umockdev_ioctl_data_resolve(u.urb, offsetof(usbdevfs_urb, buffer), size_t(length), nullptr);
    urb->status = 0;
    urb->actual_length = 0;
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL && length >= 8) {
        urb->status = control(u.buffer->data, length - 8, &urb->actual_length);
    } else if (urb->type == USBDEVFS_URB_TYPE_BULK && urb->endpoint == EndpointOut) {
        if (u.buffer)
            m_widget.receive(u.buffer->data, length);
        urb->actual_length = length;
    } else if (urb->type == USBDEVFS_URB_TYPE_BULK && urb->endpoint == EndpointIn && length >= 2) {
        u.due = Clock::now() + std::chrono::milliseconds(std::max(m_latencyMs, 1));
        c.waiting.push_back(u);
        serve(Clock::now());
        return 0;
    } else {
        release(u.buffer);
        release(u.urb);
        return EINVAL;
    }
    c.done.push_back(u);
    return 0;
}

// A request on endpoint 0 with its data stage after the setup bytes; returns
// the URB status (-EPIPE: the chip stalls it).
int UsbChip::control(unsigned char *setup, int capacity, int *actual)
{
    const int type = setup[0], request = setup[1], value = setup[2] | (setup[3] << 8);
    QByteArray reply;
    if (type == 0x80 && request == 0x06) { // GET_DESCRIPTOR
        const int kind = value >> 8, index = value & 0xFF;
        const QByteArray strings[] = {QByteArray("\x04\x03\x09\x04", 4), stringDescriptor("Lumora"),
                                      stringDescriptor(m_widget.info.description), stringDescriptor(serial)};
        const auto *all = reinterpret_cast<const char *>(Descriptors);
        if (kind == 1)
            reply = QByteArray(all, DeviceDescriptorSize);
        else if (kind == 2 && index == 0)
            reply = QByteArray(all + DeviceDescriptorSize, int(sizeof Descriptors) - DeviceDescriptorSize);
        else if (kind == 3 && index < 4)
            reply = strings[index];
        else
            return -EPIPE;
    } else if (type == 0x40 && request == 0x00) {
        // Reset: 1 flushes what goes out on the serial line, 2 (and a full
        // reset) what waits for the host.
        if (value != 1)
            m_widget.dropPending();
    } else if (type == 0x40 && request == 0x09) {
        m_latencyMs = value & 0xFF;
    } else if (type == 0xC0 && request == 0x05) {
        reply = QByteArray(reinterpret_cast<const char *>(ModemStatus), 2);
    } else if (type == 0xC0 && request == 0x0A) {
        reply = QByteArray(1, char(m_latencyMs));
    } else if (!(type == 0x40 && QByteArray("\x01\x02\x03\x04\x06\x07\x0B").contains(char(request)))) {
        return -EPIPE; // modem and flow control, baud rate, data bits, event chars and bit mode pass
    }
    *actual = std::min({setup[6] | (setup[7] << 8), int(reply.size()), capacity});
    std::memcpy(setup + 8, reply.constData(), size_t(*actual));
    return 0;
}

void UsbChip::reap(UMockdevIoctlClient *client, Client &c, UMockdevIoctlData *slot)
{
    if (!c.done.empty()) {
        deliver(client, c, slot);
    } else if (!m_plugged || c.waiting.empty() || c.heldReap) {
        release(slot);
        complete(client, m_plugged ? EAGAIN : ENODEV);
    } else {
        c.heldReap = static_cast<UMockdevIoctlClient *>(g_object_ref(client));
        c.heldSlot = slot;
        c.holdUntil = Clock::now() + LongestReapHold;
        m_bus.m_wake.notify_all();
    }
}

Clock::time_point UsbChip::serve(Clock::time_point now)
{
    dropVanishedClients();
    Clock::time_point next = Clock::time_point::max();
    for (auto &entry : m_clients) {
        Client &c = entry.second;
        // Bulk IN: at once when bytes are ready, else after the latency
        // timer with the status bytes alone; a short packet ends the URB.
        while (!c.waiting.empty() && !m_hung) {
            Urb u = c.waiting.front();
            if (now < u.due && m_widget.readyBytes(now, 1) == 0) {
                next = std::min({next, u.due, m_widget.nextReadyAt()});
                break;
            }
            usbdevfs_urb *urb = urbOf(u.urb);
            int at = 0, n = PacketSize - 2;
            while (n == PacketSize - 2 && urb->buffer_length - at >= 2) {
                std::memcpy(u.buffer->data + at, ModemStatus, 2);
                at += 2;
                n = m_widget.readyBytes(now, std::min(PacketSize - 2, urb->buffer_length - at));
                m_widget.take(u.buffer->data + at, n);
                at += n;
            }
            urb->actual_length = at;
            c.done.push_back(u);
            c.waiting.pop_front();
        }
        if (!c.heldReap)
            continue;
        if (c.done.empty() && !c.waiting.empty() && now < c.holdUntil) {
            next = std::min(next, c.holdUntil);
            continue;
        }
        UMockdevIoctlClient *client = c.heldReap;
        c.heldReap = nullptr;
        if (!c.done.empty()) {
            deliver(client, c, c.heldSlot);
        } else {
            release(c.heldSlot);
            complete(client, m_plugged ? EAGAIN : ENODEV);
        }
        g_object_unref(client);
    }
    return next;
}

UsbChipBus::UsbChipBus()
{
    if (!qgetenv("LD_PRELOAD").contains("libumockdev-preload"))
        qFatal("usbchip: run this under umockdev-wrapper");
    m_testbed = umockdev_testbed_new();
    GError *error = nullptr;
    const char *rootHub = "P: /devices/pci0000:00/0000:00:14.0/usb1\nN: bus/usb/001/001\n"
                          "E: DEVNAME=/dev/bus/usb/001/001\nE: BUSNUM=001\nE: DEVNUM=001\nE: DEVTYPE=usb_device\n"
                          "E: DRIVER=usb\nE: PRODUCT=1d6b/2/600\nE: SUBSYSTEM=usb\nA: bConfigurationValue=1\n"
                          "A: bNumConfigurations=1\nA: busnum=1\nA: devnum=1\nA: idProduct=0002\n"
                          "A: idVendor=1d6b\nA: speed=480\nH: descriptors=12010002090001406B1D020000060302010109"
                          "021900010100E0000904000001090000000705810304000C\n";
    if (!umockdev_testbed_add_from_string(m_testbed, rootHub, &error))
        qFatal("usbchip: %s", error->message);
    m_timer = std::thread([this] { run(); });
}

UsbChipBus::~UsbChipBus()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    m_timer.join();
    g_object_unref(m_testbed);
    m_chips.clear();
}

UsbChip &UsbChipBus::plug(const EmulatedWidgetInfo &info)
{
    std::lock_guard<std::mutex> testbed(m_testbedLock);
    UsbChip *chip;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_chips.emplace_back(new UsbChip(*this, info, int(m_chips.size()) + 1));
        chip = m_chips.back().get();
    }
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(m_testbed, chip->sysfsText().c_str(), &error))
        qFatal("usbchip: %s", error->message);
    chip->m_handler = umockdev_ioctl_base_new();
    g_signal_connect(chip->m_handler, "handle-ioctl",
                     G_CALLBACK(+[](UMockdevIoctlBase *, UMockdevIoctlClient *client, UsbChip *self) {
                         self->ioctl(client);
                         return TRUE;
                     }),
                     chip);
    if (!umockdev_testbed_attach_ioctl(m_testbed, chip->devNode.c_str(), chip->m_handler, &error))
        qFatal("usbchip: %s", error->message);
    umockdev_testbed_uevent(m_testbed, chip->m_sysPath.c_str(), "add");
    return *chip;
}

std::vector<UsbChip *> UsbChipBus::chips()
{
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<UsbChip *> all;
    for (auto &chip : m_chips)
        all.push_back(chip.get());
    return all;
}

std::string UsbChipBus::rootDir() const
{
    gchar *dir = umockdev_testbed_get_root_dir(m_testbed);
    const std::string root(dir);
    g_free(dir);
    return root;
}

void UsbChipBus::run()
{
    std::unique_lock<std::mutex> lock(m_lock);
    while (!m_stop) {
        if (!m_leaving.empty()) {
            // A pulled chip leaves sysfs, and libusb's device list through the
            // remove event; its handler stays for the clients still open.
            std::vector<UsbChip *> leaving;
            leaving.swap(m_leaving);
            lock.unlock();
            {
                std::lock_guard<std::mutex> testbed(m_testbedLock);
                for (UsbChip *chip : leaving) {
                    umockdev_testbed_uevent(m_testbed, chip->m_sysPath.c_str(), "remove");
                    umockdev_testbed_remove_device(m_testbed, chip->m_sysPath.c_str());
                }
            }
            lock.lock();
            continue;
        }
        Clock::time_point next = Clock::time_point::max();
        for (auto &chip : m_chips)
            next = std::min(next, chip->serve(Clock::now()));
        m_wake.wait_until(lock, std::min(next, Clock::now() + std::chrono::seconds(1)));
    }
}

} // namespace lumora

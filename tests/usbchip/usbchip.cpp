#include "usbchip.h"
#include "bytetext.h"
#include "deviceinfo.h"

#include <umockdev.h>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

namespace lumora {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int PacketSize = 64;
// The chip's receive buffer; beyond it the bytes wait in the widget.
constexpr int BufferSize = 256;
constexpr unsigned char ModemStatus[2] = {0x01, 0x60};
constexpr unsigned char EndpointIn = 0x81, EndpointOut = 0x02;
// The device node always polls writable under umockdev, so libusb asks for
// finished URBs without pause. A reap that finds none while some are in
// flight is answered when one finishes, or after this long: the wait poll()
// would have made.
constexpr auto LongestReapHold = std::chrono::milliseconds(5);
// From a widget's restart that re-enumerates to its new device on the bus.
constexpr auto ReenumerationTime = std::chrono::milliseconds(200);

// Device descriptor, then the configuration: interface 0 with bulk IN 0x81
// and bulk OUT 0x02 of 64 bytes.
const unsigned char Descriptors[] = {
    0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x08, 0x03, 0x04, 0x01, 0x60, 0x00, 0x06, 0x01, 0x02, 0x03, 0x01,
    0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0xA0, 0x2D, 0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 0x02,
    0x07, 0x05, EndpointIn, 0x02, PacketSize, 0x00, 0x00, 0x07, 0x05, EndpointOut, 0x02, PacketSize, 0x00, 0x00,
};
constexpr int DeviceDescriptorSize = 18;

// The string as the device's own text in UTF-16LE, as far as a descriptor
// holds it.
QByteArray stringDescriptor(const QByteArray &bytes)
{
    const QString text = textFromBytes(bytes).left(126);
    QByteArray d;
    d.append(char(2 + 2 * text.size())).append(char(3));
    for (const QChar c : text)
        d.append(char(c.unicode() & 0xFF)).append(char(c.unicode() >> 8));
    return d;
}

// The memory a pointer in an ioctl argument points to. umockdev writes it
// back to the client when the ioctl completes; the argument keeps it alive
// until then, and the client object keeps the argument.
UMockdevIoctlData *resolve(UMockdevIoctlData *arg, size_t offset, size_t size)
{
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(arg, offset, size, nullptr);
    g_object_unref(data);
    return data;
}

template <typename T>
T *resolved(UMockdevIoctlData *arg, size_t offset = 0, size_t size = sizeof(T))
{
    return reinterpret_cast<T *>(resolve(arg, offset, size)->data);
}

void complete(UMockdevIoctlClient *client, int error) { umockdev_ioctl_client_complete(client, error ? -1 : 0, error); }

} // namespace

UsbChip::UsbChip(UsbChipBus &bus, std::shared_ptr<EmulatedWidget> widget, int port, int address)
    : serial(widget->info.serialString)
    , port(port)
    , devNode("/dev/bus/usb/001/" + QByteArray::number(address).rightJustified(3, '0').toStdString())
    , sysPath("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(port))
    , m_lock(bus.m_lock)
    , m_wake(bus.m_wake)
    , m_widget(std::move(widget))
    , m_generation(m_widget->generation())
{
}

UsbChip::~UsbChip()
{
    dropClients(true);
    if (m_handler)
        g_object_unref(m_handler);
}

// umockdev 0.17 never emits client-vanished; a client that closed the node,
// or died, shows as no longer connected.
void UsbChip::dropClients(bool all)
{
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        if (!all && umockdev_ioctl_client_get_connected(it->first)) {
            ++it;
            continue;
        }
        for (auto *queue : {&it->second.waiting, &it->second.done})
            for (const Urb &u : *queue)
                g_object_unref(u.data);
        if (m_claimedBy == it->first)
            released();
        g_object_unref(it->first);
        it = m_clients.erase(it);
    }
}

void UsbChip::released()
{
    m_claimedBy = nullptr;
    if (present() && m_widget->hostClosed() && m_widget->reenumeratesOnRestart) {
        // Its USB side restarts with the firmware: the device leaves the bus,
        // and the widget comes back on its port as a new one.
        m_widget->unplug();
        m_backAt = Clock::now() + ReenumerationTime;
        m_wake.notify_all();
    }
}

void UsbChip::ioctl(UMockdevIoctlClient *client)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> lock(m_lock);
    dropClients();
    if (!m_clients.count(client)) {
        g_object_ref(client);
        ++m_transfers.opens;
    }
    Client &c = m_clients[client];
    if (request != USBDEVFS_REAPURBNDELAY) {
        complete(client, present() ? handle(request, arg, client, c) : ENODEV);
    } else if (c.done.empty() && !c.waiting.empty() && !c.heldSlot) {
        c.heldSlot = resolve(arg, 0, sizeof(void *));
        c.holdUntil = Clock::now() + LongestReapHold;
    } else {
        answerReap(client, c, resolve(arg, 0, sizeof(void *)));
    }
    m_wake.notify_all();
}

// Returns the errno the ioctl fails with, or 0. The chip has interface 0
// alone, so interface numbers go unread; the one request passed to its
// driver is the detach.
int UsbChip::handle(unsigned long request, UMockdevIoctlData *arg, UMockdevIoctlClient *client, Client &c)
{
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        *resolved<uint32_t>(arg) = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION
                                   | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        return 0;
    case USBDEVFS_GETDRIVER:
        if (!m_driverBound && !m_claimedBy && !m_claimedElsewhere)
            return ENODATA;
        std::strcpy(resolved<usbdevfs_getdriver>(arg)->driver, m_driverBound ? "ftdi_sio" : "usbfs");
        return 0;
    case USBDEVFS_IOCTL:
        if (resolved<usbdevfs_ioctl>(arg)->ioctl_code != int(USBDEVFS_DISCONNECT))
            return ENOTTY;
        if (!m_driverBound || m_refuseDetach)
            return m_driverBound ? EBUSY : ENODATA;
        m_driverBound = false;
        return 0;
    case USBDEVFS_CLAIMINTERFACE:
        if (m_driverBound || m_claimedElsewhere || (m_claimedBy && m_claimedBy != client))
            return EBUSY;
        m_claimedBy = client;
        return 0;
    case USBDEVFS_RELEASEINTERFACE:
        if (m_claimedBy != client)
            return EINVAL;
        released();
        return 0;
    case USBDEVFS_DISCARDURB: { // a discarded URB is still reaped, with -ENOENT
        const gulong address = *reinterpret_cast<const gulong *>(arg->data);
        auto it = std::find_if(c.waiting.begin(), c.waiting.end(),
                               [&](const Urb &u) { return u.data->client_addr == address; });
        if (it == c.waiting.end())
            return EINVAL;
        it->urb->status = -ENOENT;
        c.done.push_back(*it);
        c.waiting.erase(it);
        return 0;
    }
    case USBDEVFS_SUBMITURB:
        break;
    default:
        qWarning("usbchip: ioctl 0x%lx not emulated", request);
        return ENOTTY;
    }
    // The URB is kept until reaped; its buffer with it.
    auto *data = static_cast<UMockdevIoctlData *>(g_object_ref(resolve(arg, 0, sizeof(usbdevfs_urb))));
    auto *urb = reinterpret_cast<usbdevfs_urb *>(data->data);
    const int length = urb->buffer_length;
    Urb u{data, urb, nullptr, {}};
    if (length > 0)
        u.buffer = resolved<unsigned char>(data, offsetof(usbdevfs_urb, buffer), size_t(length));
    const bool bulk = urb->type == USBDEVFS_URB_TYPE_BULK;
    urb->status = urb->actual_length = 0;
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL && length >= 8) {
        urb->status = control(u.buffer, length - 8, &urb->actual_length);
    } else if (bulk && urb->endpoint == EndpointOut) {
        ++m_transfers.bulkOut;
        m_widget->receive(u.buffer, length);
        urb->actual_length = length;
    } else if (bulk && urb->endpoint == EndpointIn && length >= 2) {
        ++m_transfers.bulkIn;
        u.due = Clock::now() + std::chrono::milliseconds(std::max(m_latencyMs, 1));
        c.waiting.push_back(u);
        serve(Clock::now());
        return 0;
    } else {
        g_object_unref(data);
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
                                      stringDescriptor(m_widget->info.description), stringDescriptor(serial)};
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
        if (value != 1) {
            m_widget->dropPending();
            m_toHost.clear();
        }
    } else if (type == 0x40 && request == 0x09) {
        if (!m_latencyHeld)
            m_latencyMs = value & 0xFF;
    } else if (type == 0xC0 && request == 0x0A) {
        reply = QByteArray(1, char(m_latencyMs));
    } else if (type == 0x40 && request == 0x06) { // the event character, bit 8 enables it
        m_eventChar = value & 0x100 ? value & 0xFF : -1;
    } else if (!(type == 0x40 && (request == 0x03 || request == 0x07))) { // the baud rate, the error character
        return -EPIPE;
    }
    *actual = std::min({setup[6] | (setup[7] << 8), int(reply.size()), capacity});
    std::memcpy(setup + 8, reply.constData(), size_t(*actual));
    return 0;
}

// A reap gets the oldest finished URB, or EAGAIN (ENODEV once unplugged).
void UsbChip::answerReap(UMockdevIoctlClient *client, Client &c, UMockdevIoctlData *slot)
{
    if (c.done.empty())
        return complete(client, present() ? EAGAIN : ENODEV);
    umockdev_ioctl_data_set_ptr(slot, 0, c.done.front().data);
    complete(client, 0);
    g_object_unref(c.done.front().data);
    c.done.pop_front();
}

void UsbChip::gather(Clock::time_point now)
{
    const int n = m_widget->readyBytes(now, BufferSize - int(m_toHost.size()));
    if (n <= 0)
        return;
    const int at = int(m_toHost.size());
    m_toHost.resize(at + n);
    m_widget->take(reinterpret_cast<unsigned char *>(m_toHost.data()) + at, n);
}

Clock::time_point UsbChip::serve(Clock::time_point now)
{
    dropClients();
    const bool plugged = present();
    Clock::time_point next = Clock::time_point::max();
    for (auto &entry : m_clients) {
        Client &c = entry.second;
        // Bulk IN: when the latency timer runs out, with the status bytes
        // alone if nothing came; sooner for a full packet or the event
        // character. A short packet ends the URB. Once the chip is
        // unplugged, what was in flight fails with -ENODEV.
        while (!c.waiting.empty() && (!m_hung || !plugged)) {
            Urb u = c.waiting.front();
            if (plugged && now < u.due) {
                gather(now);
                const bool full = m_toHost.size() >= PacketSize - 2;
                if (!full && (m_eventChar < 0 || !m_toHost.contains(char(m_eventChar)))) {
                    next = std::min({next, u.due, m_widget->nextReadyAt()});
                    break;
                }
                m_transfers.earlyIn += !full;
            }
            u.urb->status = plugged ? 0 : -ENODEV;
            int at = 0, n = plugged ? PacketSize - 2 : 0;
            while (n == PacketSize - 2 && u.urb->buffer_length - at >= 2) {
                std::memcpy(u.buffer + at, ModemStatus, 2);
                at += 2;
                gather(now);
                n = std::min({PacketSize - 2, u.urb->buffer_length - at, int(m_toHost.size())});
                std::memcpy(u.buffer + at, m_toHost.constData(), size_t(n));
                m_toHost.remove(0, n);
                at += n;
            }
            u.urb->actual_length = at;
            c.done.push_back(u);
            c.waiting.pop_front();
        }
        if (c.heldSlot && c.done.empty() && !c.waiting.empty() && now < c.holdUntil)
            next = std::min(next, c.holdUntil);
        else if (c.heldSlot)
            answerReap(entry.first, c, std::exchange(c.heldSlot, nullptr));
    }
    return next;
}

UsbChipBus::UsbChipBus()
{
    if (!qgetenv("LD_PRELOAD").contains("libumockdev-preload"))
        qFatal("usbchip: run this under umockdev-wrapper");
    m_testbed = umockdev_testbed_new();
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
}

UsbChip &UsbChipBus::plug(const EmulatedWidgetInfo &info, const std::function<void(EmulatedWidget &)> &shape)
{
    auto widget = std::make_shared<EmulatedWidget>(info);
    if (shape)
        shape(*widget);
    std::lock_guard<std::mutex> testbed(m_testbedLock);
    return attach(widget, ++m_ports);
}

void UsbChipBus::replug(UsbChip &chip)
{
    chip.withWidget([&](EmulatedWidget &) { chip.m_backAt = Clock::now(); });
    m_wake.notify_all();
}

UsbChip &UsbChipBus::attach(std::shared_ptr<EmulatedWidget> widget, int port)
{
    // A real bus stops at 127; libusb reads addresses up to 255, and every
    // run here stays within them.
    if (m_nextAddress > 255)
        qFatal("usbchip: more plugs than one bus has device addresses for");
    UsbChip *chip;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_chips.emplace_back(new UsbChip(*this, std::move(widget), port, m_nextAddress++));
        chip = m_chips.back().get();
    }
    QByteArray hex;
    for (unsigned char b : Descriptors)
        hex += QByteArray::number(b | 0x100, 16).mid(1);
    const QByteArray node = QByteArray::fromStdString(chip->devNode);
    // What libusb reads of a device in sysfs and its uevents.
    const QByteArray sysfs = "P: " + QByteArray::fromStdString(chip->sysPath).mid(4) + "\nN: " + node.mid(5)
                             + "\nE: DEVNAME=" + node + "\nE: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\nA: busnum=1"
                             + "\nA: devnum=" + QByteArray::number(node.right(3).toInt())
                             + "\nA: bConfigurationValue=1\nA: speed=12\nH: descriptors=" + hex + "\n";
    // The handler first: the device is announced as soon as it is added, and
    // an open before the handler would reach umockdev's default one.
    GError *error = nullptr;
    chip->m_handler = umockdev_ioctl_base_new();
    auto onIoctl = +[](UMockdevIoctlBase *, UMockdevIoctlClient *client, UsbChip *self) {
        return self->ioctl(client), TRUE;
    };
    g_signal_connect(chip->m_handler, "handle-ioctl", G_CALLBACK(onIoctl), chip);
    if (!umockdev_testbed_attach_ioctl(m_testbed, chip->devNode.c_str(), chip->m_handler, &error))
        qFatal("usbchip: %s", error->message);
    if (!umockdev_testbed_add_from_string(m_testbed, sysfs.constData(), &error))
        qFatal("usbchip: %s", error->message);
    if (onPlug)
        onPlug(*chip);
    return *chip;
}

void UsbChipBus::run()
{
    std::unique_lock<std::mutex> lock(m_lock);
    while (!m_stop) {
        std::vector<UsbChip *> leaving, back;
        Clock::time_point next = Clock::time_point::max();
        for (auto &chip : m_chips) {
            next = std::min({next, chip->serve(Clock::now()), chip->m_backAt});
            if (!chip->present() && !std::exchange(chip->m_left, true))
                leaving.push_back(chip.get());
            if (chip->m_backAt <= Clock::now() && !chip->m_widget->plugged()) {
                chip->m_widget->replug();
                back.push_back(chip.get());
            }
            if (chip->m_backAt <= Clock::now())
                chip->m_backAt = Clock::time_point::max();
        }
        if (leaving.empty() && back.empty()) {
            m_wake.wait_until(lock, std::min(next, Clock::now() + std::chrono::seconds(1)));
            continue;
        }
        lock.unlock();
        {
            // A chip pulled out leaves sysfs, and libusb's device list through
            // the remove event, before another takes its place there; its
            // handler stays for the clients still open.
            std::lock_guard<std::mutex> testbed(m_testbedLock);
            for (UsbChip *chip : leaving) {
                umockdev_testbed_uevent(m_testbed, chip->sysPath.c_str(), "remove");
                umockdev_testbed_remove_device(m_testbed, chip->sysPath.c_str());
            }
            for (UsbChip *chip : back)
                attach(chip->m_widget, chip->port);
        }
        lock.lock();
    }
}

} // namespace lumora

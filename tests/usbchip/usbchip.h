// Emulated USB-serial chips of the widget's kind at the kernel's usbfs
// interface, under umockdev, so that the real libusb and libftdi1 run against
// them. Behind each chip's serial side sits the same EmulatedWidget that the
// emulated D2XX bus uses. Only for processes run by umockdev-wrapper.
#ifndef LUMORA_USBCHIP_H
#define LUMORA_USBCHIP_H

#include "emulatedwidget.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;
struct usbdevfs_urb;

namespace lumora {

class UsbChipBus;

// One chip: its descriptors and strings, the vendor requests libftdi1 sends,
// a kernel serial driver bound to its interface until detached, one claim at
// a time, and bulk IN in packets that start with two modem-status bytes. What
// the widget sends waits in the chip until the latency timer runs out, a
// packet's worth has gathered, or the event character is among it. A widget
// plugged in again comes back in a new chip, a new device on its port.
// umockdev's worker thread and the bus's timer thread run it; the methods
// below may be called from any thread.
class UsbChip
{
public:
    ~UsbChip();

    // Runs `f` on the widget while the chip leaves it alone.
    template <typename F>
    auto withWidget(F f)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return f(*m_widget);
    }

    // Bulk transfers submitted since the chip was plugged in; of the bulk IN,
    // those answered before the latency timer ran out because the event
    // character had come; opens of the device node.
    struct Transfers {
        int bulkOut = 0, bulkIn = 0, earlyIn = 0, opens = 0;
    };
    Transfers transfers() { return withWidget([&](EmulatedWidget &) { return m_transfers; }); }

    int latencyTimer() { return withWidget([&](EmulatedWidget &) { return m_latencyMs; }); }
    // The timer keeps its value: requests to set it pass and change nothing,
    // as when another program reset it.
    void holdLatencyTimer(bool hold) { withWidget([&](EmulatedWidget &) { m_latencyHeld = hold; }); }
    // The event character as the host set it; -1 while it is disabled.
    int eventChar() { return withWidget([&](EmulatedWidget &) { return m_eventChar; }); }
    bool driverBound() { return withWidget([&](EmulatedWidget &) { return m_driverBound; }); }
    bool claimed() { return withWidget([&](EmulatedWidget &) { return dropClients(), m_claimedBy != nullptr; }); }
    // The bound kernel driver cannot be detached (EBUSY), as when in use.
    void setRefuseDetach(bool refuse) { withWidget([&](EmulatedWidget &) { m_refuseDetach = refuse; }); }
    // Another program has detached the driver and claimed the interface.
    void setClaimedElsewhere(bool claimed)
    {
        withWidget([&](EmulatedWidget &) { m_claimedElsewhere = claimed, m_driverBound = m_driverBound && !claimed; });
    }
    // Bulk IN is never answered; only a discard ends such a URB.
    void setHung(bool hung) { withWidget([&](EmulatedWidget &) { m_hung = hung; }); }
    // The widget pulled out, wherever it is plugged in now: gone at once for
    // every client, as when it pulls itself out; it leaves sysfs shortly
    // after.
    void unplug()
    {
        withWidget([](EmulatedWidget &w) { w.unplug(); });
        m_wake.notify_all();
    }

    const QByteArray serial;
    const int port;
    const std::string devNode, sysPath;

private:
    friend class UsbChipBus;
    using Clock = std::chrono::steady_clock;

    struct Urb {
        UMockdevIoctlData *data; // held until reaped
        usbdevfs_urb *urb;
        unsigned char *buffer;
        Clock::time_point due;
    };
    struct Client {
        std::deque<Urb> waiting, done; // bulk IN not answered yet; to be reaped
        UMockdevIoctlData *heldSlot = nullptr; // of a reap answered later
        Clock::time_point holdUntil;
    };

    UsbChip(UsbChipBus &bus, std::shared_ptr<EmulatedWidget> widget, int port, int address);
    // The widget is plugged in through this chip: not pulled out, nor plugged
    // in again since.
    bool present() const { return m_widget->plugged() && m_widget->generation() == m_generation; }
    // The host let go of the interface: the widget may restart.
    void released();
    void ioctl(UMockdevIoctlClient *client);
    int handle(unsigned long request, UMockdevIoctlData *arg, UMockdevIoctlClient *client, Client &c);
    int control(unsigned char *setup, int capacity, int *actual);
    void answerReap(UMockdevIoctlClient *client, Client &c, UMockdevIoctlData *slot);
    void dropClients(bool all = false);
    // Completes what is due; returns when something next falls due.
    Clock::time_point serve(Clock::time_point now);
    // Moves what the widget has ready into the chip's buffer for the host.
    void gather(Clock::time_point now);

    std::mutex &m_lock;
    std::condition_variable &m_wake;
    const std::shared_ptr<EmulatedWidget> m_widget;
    const int m_generation; // of the widget, while it is plugged in here
    // When the widget is due back on this chip's port, as a new device.
    Clock::time_point m_backAt = Clock::time_point::max();
    UMockdevIoctlBase *m_handler = nullptr;
    bool m_driverBound = true, m_refuseDetach = false, m_hung = false, m_left = false, m_claimedElsewhere = false;
    int m_latencyMs = 16;
    bool m_latencyHeld = false;
    int m_eventChar = -1;
    QByteArray m_toHost; // from the widget, waiting for a bulk IN
    Transfers m_transfers;
    std::map<UMockdevIoctlClient *, Client> m_clients;
    UMockdevIoctlClient *m_claimedBy = nullptr;
};

// A testbed and the chips plugged into it, each widget on a port of its own.
// A device's address is new at every plug.
class UsbChipBus
{
public:
    UsbChipBus();
    ~UsbChipBus();
    // A new widget on a new port, given its behaviour first.
    UsbChip &plug(const EmulatedWidgetInfo &info, const std::function<void(EmulatedWidget &)> &shape = {});
    // The widget of `chip`, pulled out, plugged in again shortly after on its
    // port as a new device, as it was left (in its loader, its flash);
    // nothing when it is plugged in.
    void replug(UsbChip &chip);
    // Runs on every chip once it is plugged in; a widget plugged in again
    // comes back on the bus's timer thread.
    std::function<void(UsbChip &)> onPlug;

private:
    friend class UsbChip;
    void run();
    UsbChip &attach(std::shared_ptr<EmulatedWidget> widget, int port); // m_testbedLock held

    UMockdevTestbed *m_testbed = nullptr;
    std::mutex m_testbedLock; // umockdev's testbed is not thread-safe
    std::mutex m_lock;        // the chips, their clients and widgets
    std::condition_variable m_wake;
    std::vector<std::unique_ptr<UsbChip>> m_chips;
    int m_ports = 0, m_nextAddress = 2; // the root hub has 1
    bool m_stop = false;
    std::thread m_timer;
};

} // namespace lumora

#endif

// Emulated USB-serial chips of the widget's kind at the kernel's usbfs
// interface, under umockdev, so that the real libusb and libftdi1 run against
// them. Behind each chip's serial side sits the same EmulatedWidget that the
// emulated D2XX bus uses. Only for processes run by umockdev-wrapper.
#ifndef LUMORA_USBCHIP_H
#define LUMORA_USBCHIP_H

#include "emulatedwidget.h"

#include <chrono>
#include <condition_variable>
#include <deque>
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

namespace lumora {

class UsbChipBus;

// One chip: its descriptors and strings, the vendor requests libftdi1 sends,
// a kernel serial driver bound to its interface until detached, one claim at
// a time, and bulk IN in packets that start with two modem-status bytes.
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
        return f(m_widget);
    }

    int latencyTimer() const;
    bool driverBound() const;
    bool claimed();
    // The bound kernel driver cannot be detached (EBUSY), as when in use.
    void setRefuseDetach(bool refuse);
    // Bulk IN is never answered; only a discard ends such a URB.
    void setHung(bool hung);
    // Gone at once for every client; it leaves sysfs shortly after.
    void unplug();

    const QByteArray serial;
    const std::string devNode;

private:
    friend class UsbChipBus;
    using Clock = std::chrono::steady_clock;

    struct Urb {
        UMockdevIoctlData *urb = nullptr;
        UMockdevIoctlData *buffer = nullptr;
        Clock::time_point due;
    };
    struct Client {
        std::deque<Urb> waiting; // bulk IN not answered yet
        std::deque<Urb> done;    // to be reaped
        UMockdevIoctlClient *heldReap = nullptr;
        UMockdevIoctlData *heldSlot = nullptr;
        Clock::time_point holdUntil;
    };

    UsbChip(UsbChipBus &bus, const EmulatedWidgetInfo &info, int port);
    std::string sysfsText() const;
    void ioctl(UMockdevIoctlClient *client);
    int submit(Client &c, UMockdevIoctlData *arg);
    int control(unsigned char *setup, int capacity, int *actual);
    void reap(UMockdevIoctlClient *client, Client &c, UMockdevIoctlData *slot);
    void unplugLocked();
    void dropVanishedClients();
    // Completes what is due; returns when something next falls due.
    Clock::time_point serve(Clock::time_point now);

    UsbChipBus &m_bus;
    std::mutex &m_lock;
    EmulatedWidget m_widget;
    const int m_port;
    const std::string m_sysPath;
    UMockdevIoctlBase *m_handler = nullptr;
    bool m_plugged = true;
    bool m_driverBound = true;
    bool m_refuseDetach = false;
    bool m_hung = false;
    int m_latencyMs = 16;
    std::map<UMockdevIoctlClient *, Client> m_clients;
    UMockdevIoctlClient *m_claimedBy = nullptr;
};

// A testbed with a root hub and the chips plugged into it.
class UsbChipBus
{
public:
    UsbChipBus();
    ~UsbChipBus();

    // A new chip on the next port, with the next device address.
    UsbChip &plug(const EmulatedWidgetInfo &info);
    std::vector<UsbChip *> chips();
    std::string rootDir() const;

private:
    friend class UsbChip;
    void run();

    UMockdevTestbed *m_testbed = nullptr;
    std::mutex m_testbedLock; // umockdev's testbed is not thread-safe
    std::mutex m_lock;        // the chips, their clients and widgets
    std::condition_variable m_wake;
    std::vector<std::unique_ptr<UsbChip>> m_chips;
    std::vector<UsbChip *> m_leaving;
    bool m_stop = false;
    std::thread m_timer;
};

} // namespace lumora

#endif

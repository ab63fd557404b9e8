// Emulated widgets behind the D2XX functions: for trying the program without
// hardware, and for tests, which reach the bus and its widgets through this
// header (plug and unplug, shape a widget, look at what it received).
#ifndef LUMORA_EMULATEDBUS_H
#define LUMORA_EMULATEDBUS_H

#include "d2xxbackend.h"
#include "emulatedknobs.h"
#include "emulatedwidget.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace lumora {

class EmulatedBus : public D2xxBackend
{
public:
    static constexpr int MaxWidgets = 64;
    // The chip's serial string field holds 15 bytes and a NUL.
    static constexpr int MaxSerialBytes = 15;
    // The bus the D2XX functions reach when the emulated backend is chosen.
    static EmulatedBus &instance();
    ~EmulatedBus() override;

    // A fresh bus with `count` widgets of the standard kind; every handle of
    // the previous bus becomes invalid.
    void reset(int count);
    EmulatedWidget &attach(const EmulatedWidgetInfo &info);
    EmulatedWidget &widget(int index);
    int widgetCount() const { return int(m_widgets.size()); }
    DWORD driverVersionValue = 0x00010000;

    // Shapes the bus from the environment, for trying failures from outside
    // the process (the command-line flasher's tests, a demo). Each widget
    // gets the knobs of emulatedknobs.h (refused pages, reply latency,
    // silence, a start in its loader...); the bus itself takes
    //   LUMORA_EMULATOR             number of widgets (empty: 1; 0: none)
    //   LUMORA_EMULATOR_SERIALS     serial strings of the widgets, comma-separated
    //   LUMORA_EMULATOR_FLASH_DUMP  file that receives a widget's accepted
    //                               pages when its handle is closed; a %s in
    //                               it stands for the widget's serial string,
    //                               byte for byte
    //   LUMORA_EMULATOR_PLUG        plug events in ms since the start,
    //                               comma-separated: MS:+SERIAL plugs in a
    //                               widget with that serial string, MS:-SERIAL
    //                               pulls it out
    void configureFromEnvironment();

    // Plugs in the widget with this serial string (a new one of the standard
    // kind, or the one pulled out before), or pulls it out.
    void plug(const QByteArray &serial, bool in);

    // D2xxBackend
    const char *name() const override { return "emulated"; }
    DeviceList listDevices() override;
    FT_STATUS openEntry(const DeviceEntry &entry, FT_HANDLE *handle) override;
    FT_STATUS openByLocation(DWORD location, FT_HANDLE *handle) override;
    FT_STATUS openBySerial(const char *serial, FT_HANDLE *handle) override;
    FT_STATUS deviceCount(DWORD *count) override;
    bool waitForDeviceChange(const DeviceList &since, int timeoutMs) override;
    FT_STATUS close(FT_HANDLE handle) override;
    FT_STATUS read(FT_HANDLE handle, unsigned char *buffer, DWORD count, DWORD *delivered) override;
    FT_STATUS write(FT_HANDLE handle, const unsigned char *buffer, DWORD count, DWORD *written) override;
    FT_STATUS purge(FT_HANDLE handle, ULONG mask) override;
    FT_STATUS setTimeouts(FT_HANDLE handle, ULONG readMs, ULONG writeMs) override;
    FT_STATUS latencyTimer(FT_HANDLE handle, UCHAR *timer) override;
    FT_STATUS driverVersion(FT_HANDLE handle, DWORD *version) override;
    FT_STATUS deviceInfo(FT_HANDLE handle, DeviceEntry *device) override;
    std::string errorText(FT_HANDLE handle) override;

private:
    struct Handle {
        EmulatedWidget *widget;
        int generation;
        ULONG readTimeoutMs;
    };
    FT_STATUS openWidget(EmulatedWidget *widget, FT_HANDLE *handle);
    // Opens the widget plugged in at `location`; else leaves `goneText()` as
    // the thread's error.
    FT_STATUS openPluggedAt(DWORD location, FT_HANDLE *handle, const std::function<std::string()> &goneText);
    // A new widget on the next free port (the bus locked).
    EmulatedWidget &addWidget(const EmulatedWidgetInfo &info);
    Handle *live(FT_HANDLE handle, FT_STATUS *status);
    // Runs `action` on the handle, locked, when its widget is still there.
    template <typename Action>
    FT_STATUS onLive(FT_HANDLE handle, Action action);
    Handle *known(FT_HANDLE handle);
    // The plugged widget whose LocId is `location`, if any.
    EmulatedWidget *pluggedAt(DWORD location) const;
    DeviceEntry entryOf(const EmulatedWidget &widget) const;

    // One lock for the bus and its widgets; a read waiting for bytes lets
    // go of it while it sleeps.
    mutable std::mutex m_lock;
    std::vector<std::unique_ptr<EmulatedWidget>> m_widgets;
    // Handles are numbers that are never reused, so a stale handle can never
    // reach another device.
    std::map<quintptr, Handle> m_handles;
    quintptr m_nextHandle = 0x1000;
    // What the environment asked for; a fresh bus has none of it.
    struct Settings {
        QByteArray flashDumpPattern;
        EmulatorKnobValues knobs;
    } m_settings;

    // Plug events, and whoever waits for a change.
    std::condition_variable m_changed;
    unsigned m_changes = 0;
    bool m_stopping = false;
    PlugSchedule m_schedule; // last: its events reach all of the above
};

} // namespace lumora

#endif

#include "emulatedbus.h"

#include <algorithm>
#include <thread>

namespace lumora {

namespace {

constexpr ULONG DefaultTimeoutMs = 5000;
constexpr UCHAR ChipLatencyTimer = 16;

} // namespace

D2xxBackend *createEmulatedBackend()
{
    EmulatedBus &bus = EmulatedBus::instance();
    bus.configureFromEnvironment();
    return &bus;
}

EmulatedBus &EmulatedBus::instance()
{
    static EmulatedBus bus;
    return bus;
}

EmulatedBus::~EmulatedBus()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stopping = true;
    }
    m_changed.notify_all();
}

void EmulatedBus::reset(int count)
{
    forgetSharedList();
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_widgets.clear();
        m_handles.clear();
        m_settings = Settings();
        driverVersionValue = 0x00010000;
        for (int i = 0; i < count; ++i)
            addWidget(EmulatedWidgetInfo::standard(i));
        ++m_changes;
    }
    m_changed.notify_all();
}

EmulatedWidget &EmulatedBus::addWidget(const EmulatedWidgetInfo &info)
{
    m_widgets.push_back(std::make_unique<EmulatedWidget>(info));
    m_widgets.back()->port = quint16(m_widgets.size());
    return *m_widgets.back();
}

void EmulatedBus::configureFromEnvironment()
{
    int count = 1;
    const QByteArray countText = qgetenv("LUMORA_EMULATOR").trimmed();
    bool ok = false;
    if (!countText.isEmpty() && countText.toInt(&ok) >= 0 && ok)
        count = qMin(countText.toInt(), MaxWidgets);
    reset(count);

    std::lock_guard<std::mutex> lock(m_lock);
    m_settings.knobs = EmulatorKnobValues::fromEnvironment();
    const QList<QByteArray> serials = qgetenv("LUMORA_EMULATOR_SERIALS").split(',');
    for (size_t i = 0; i < m_widgets.size(); ++i) {
        EmulatedWidget &w = *m_widgets[i];
        if (int(i) < serials.size() && !serials[int(i)].isEmpty())
            w.info.serialString = serials[int(i)];
        m_settings.knobs.shape(w);
    }
    m_settings.flashDumpPattern = qgetenv("LUMORA_EMULATOR_FLASH_DUMP");
    const QByteArray schedule = qgetenv("LUMORA_EMULATOR_PLUG");
    if (!schedule.trimmed().isEmpty())
        m_schedule.start(schedule, [this](const QByteArray &serial, bool in) { plug(serial, in); });
}

void EmulatedBus::plug(const QByteArray &serial, bool in)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = std::find_if(m_widgets.begin(), m_widgets.end(),
                               [&](const auto &w) { return w->info.serialString == serial; });
        if (it != m_widgets.end()) {
            if (in)
                (*it)->replug();
            else
                (*it)->unplug();
        } else if (in && int(m_widgets.size()) < MaxWidgets) {
            EmulatedWidgetInfo info = EmulatedWidgetInfo::standard(int(m_widgets.size()));
            info.serialString = serial;
            m_settings.knobs.shape(addWidget(info));
        }
        ++m_changes;
    }
    m_changed.notify_all();
}

bool EmulatedBus::waitForDeviceChange(const DeviceList &since, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_changes != since.generation || m_stopping; })
           && !m_stopping;
}

EmulatedWidget &EmulatedBus::attach(const EmulatedWidgetInfo &info)
{
    std::lock_guard<std::mutex> lock(m_lock);
    return addWidget(info);
}

EmulatedWidget &EmulatedBus::widget(int index)
{
    return *m_widgets.at(size_t(index));
}

EmulatedBus::Handle *EmulatedBus::known(FT_HANDLE handle)
{
    auto it = m_handles.find(reinterpret_cast<quintptr>(handle));
    return it == m_handles.end() ? nullptr : &it->second;
}

EmulatedBus::Handle *EmulatedBus::live(FT_HANDLE handle, FT_STATUS *status)
{
    Handle *h = known(handle);
    if (!h) {
        *status = FT_INVALID_HANDLE;
        return nullptr;
    }
    if (!h->widget->plugged() || h->widget->generation() != h->generation) {
        *status = FT_IO_ERROR;
        return nullptr;
    }
    return h;
}

EmulatedWidget *EmulatedBus::pluggedAt(DWORD location) const
{
    for (const auto &w : m_widgets)
        if (w->plugged() && w->location() == location)
            return w.get();
    return nullptr;
}

DeviceEntry EmulatedBus::entryOf(const EmulatedWidget &widget) const
{
    DeviceEntry entry;
    // A station tells attachments apart by it: new at every plug, never
    // shared by two widgets plugged in at once.
    entry.location = widget.location();
    entry.type = FT_DEVICE_232R;
    entry.id = 0x04036001;
    for (const auto &h : m_handles)
        if (h.second.widget == &widget && h.second.generation == widget.generation())
            entry.heldBy = reinterpret_cast<FT_HANDLE>(h.first);
    entry.serial = widget.info.serialString;
    entry.description = widget.info.description;
    return entry;
}

DeviceList EmulatedBus::listDevices()
{
    std::lock_guard<std::mutex> lock(m_lock);
    threadError().clear();
    DeviceList list;
    list.read = true;
    list.generation = m_changes;
    for (const auto &w : m_widgets)
        if (w->plugged())
            list.entries.append(entryOf(*w));
    return list;
}

FT_STATUS EmulatedBus::deviceCount(DWORD *count)
{
    std::lock_guard<std::mutex> lock(m_lock);
    *count = DWORD(std::count_if(m_widgets.begin(), m_widgets.end(), [](const auto &w) { return w->plugged(); }));
    return FT_OK;
}

FT_STATUS EmulatedBus::openEntry(const DeviceEntry &entry, FT_HANDLE *handle)
{
    return openPluggedAt(entry.location, handle, [&] {
        return "widget " + entry.serial.toStdString() + " was unplugged after the device list was made: scan again";
    });
}

FT_STATUS EmulatedBus::openByLocation(DWORD location, FT_HANDLE *handle)
{
    return openPluggedAt(location, handle, [location] { return locationGoneText(location); });
}

FT_STATUS EmulatedBus::openPluggedAt(DWORD location, FT_HANDLE *handle, const std::function<std::string()> &goneText)
{
    std::lock_guard<std::mutex> lock(m_lock);
    threadError().clear();
    EmulatedWidget *w = pluggedAt(location);
    if (!w) {
        threadError() = goneText();
        return FT_DEVICE_NOT_FOUND;
    }
    return openWidget(w, handle);
}

FT_STATUS EmulatedBus::openBySerial(const char *serial, FT_HANDLE *handle)
{
    std::lock_guard<std::mutex> lock(m_lock);
    threadError().clear();
    EmulatedWidget *found = nullptr;
    for (const auto &w : m_widgets) {
        if (w->plugged() && w->info.serialString == serial) {
            found = w.get();
            if (!w->isOpen())
                break;
        }
    }
    if (!found) {
        threadError() = std::string("no widget with serial ") + serial + " is plugged in";
        return FT_DEVICE_NOT_FOUND;
    }
    return openWidget(found, handle);
}

FT_STATUS EmulatedBus::openWidget(EmulatedWidget *w, FT_HANDLE *handle)
{
    if (w->isOpen()) {
        threadError() = "widget " + w->info.serialString.toStdString()
                        + " is already open: another program or window holds it; close it there first";
        return FT_DEVICE_NOT_OPENED;
    }
    ++w->openHandles;
    const quintptr id = m_nextHandle++;
    m_handles[id] = {w, w->generation(), DefaultTimeoutMs};
    *handle = reinterpret_cast<FT_HANDLE>(id);
    return FT_OK;
}

FT_STATUS EmulatedBus::close(FT_HANDLE handle)
{
    bool reenumerated = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        Handle *h = known(handle);
        if (!h)
            return FT_INVALID_HANDLE;
        EmulatedWidget *w = h->widget;
        if (h->generation == w->generation() && w->openHandles > 0) {
            --w->openHandles;
            if (w->hostClosed() && w->reenumeratesOnRestart) {
                // Back on its port as a new device, as a USB device that
                // restarts with its firmware does.
                w->unplug();
                w->replug();
                reenumerated = true;
                ++m_changes;
            }
        }
        if (!m_settings.flashDumpPattern.isEmpty() && !w->acceptedPages().isEmpty())
            w->writeFlash(m_settings.flashDumpPattern);
        m_handles.erase(reinterpret_cast<quintptr>(handle));
    }
    if (reenumerated)
        m_changed.notify_all();
    return FT_OK;
}

FT_STATUS EmulatedBus::read(FT_HANDLE handle, unsigned char *buffer, DWORD count, DWORD *delivered)
{
    *delivered = 0;
    std::unique_lock<std::mutex> lock(m_lock);
    FT_STATUS status;
    Handle *h = live(handle, &status);
    if (!h)
        return status;
    const auto deadline = EmulatedWidget::Clock::now() + std::chrono::milliseconds(h->readTimeoutMs);
    for (;;) {
        h = live(handle, &status);
        if (!h)
            return status;
        EmulatedWidget *w = h->widget;
        const auto now = EmulatedWidget::Clock::now();
        const int ready = w->readyBytes(now, int(count));
        if (DWORD(ready) >= count || now >= deadline) {
            w->take(buffer, ready);
            *delivered = DWORD(ready);
            return FT_OK;
        }
        const auto wake = std::min(deadline, w->nextReadyAt());
        lock.unlock();
        std::this_thread::sleep_until(wake);
        lock.lock();
    }
}

template <typename Action>
FT_STATUS EmulatedBus::onLive(FT_HANDLE handle, Action action)
{
    std::lock_guard<std::mutex> lock(m_lock);
    FT_STATUS status;
    Handle *h = live(handle, &status);
    return h ? FT_STATUS(action(*h)) : status;
}

FT_STATUS EmulatedBus::write(FT_HANDLE handle, const unsigned char *buffer, DWORD count, DWORD *written)
{
    *written = 0;
    return onLive(handle, [&](Handle &h) {
        h.widget->receive(buffer, int(count));
        *written = count;
        return FT_OK;
    });
}

FT_STATUS EmulatedBus::purge(FT_HANDLE handle, ULONG mask)
{
    return onLive(handle, [&](Handle &h) {
        // Bytes from the host reach the widget at once; only the way back
        // holds anything to drop.
        if (mask & FT_PURGE_RX)
            h.widget->dropPending();
        return FT_OK;
    });
}

FT_STATUS EmulatedBus::setTimeouts(FT_HANDLE handle, ULONG readMs, ULONG writeMs)
{
    // Writes reach the widget at once: only the read time-out matters here.
    (void)writeMs;
    return onLive(handle, [&](Handle &h) {
        h.readTimeoutMs = readMs;
        return FT_OK;
    });
}

FT_STATUS EmulatedBus::latencyTimer(FT_HANDLE handle, UCHAR *timer)
{
    return onLive(handle, [&](Handle &) {
        *timer = ChipLatencyTimer;
        return FT_OK;
    });
}

FT_STATUS EmulatedBus::driverVersion(FT_HANDLE handle, DWORD *version)
{
    return onLive(handle, [&](Handle &) {
        *version = driverVersionValue;
        return FT_OK;
    });
}

FT_STATUS EmulatedBus::deviceInfo(FT_HANDLE handle, DeviceEntry *device)
{
    return onLive(handle, [&](Handle &h) {
        const DeviceEntry own = entryOf(*h.widget);
        device->type = own.type;
        device->id = own.id;
        device->serial = own.serial;
        device->description = own.description;
        return FT_OK;
    });
}

std::string EmulatedBus::errorText(FT_HANDLE handle)
{
    if (!handle)
        return threadError();
    std::lock_guard<std::mutex> lock(m_lock);
    FT_STATUS status;
    if (known(handle) && !live(handle, &status))
        return "the widget was unplugged";
    return std::string();
}

} // namespace lumora

#include "emulatedwidget.h"
#include "protocol.h"
#include "sleep.h"

#include <QFile>

#include <algorithm>
#include <cstring>
#include <thread>

namespace lumora {

namespace {
constexpr ULONG DefaultTimeoutMs = 5000;
constexpr int ForeignLabel = 0x55;
constexpr int MaxHostPayload = 1024;
}

EmulatedWidget::EmulatedWidget(EmulatedWidgetInfo widgetInfo)
    : info(std::move(widgetInfo))
{
}

void EmulatedWidget::setAutoReply(int label, bool answer) { m_silentLabels[label] = !answer; }
void EmulatedWidget::scriptReply(int label, const QByteArray &rawBytes) { m_scripted[label].append(rawBytes); }
void EmulatedWidget::dropReplies(int count) { m_drop = count; }
void EmulatedWidget::corruptReplies(int count) { m_corrupt = count; }
void EmulatedWidget::setGarbageReplies(bool on) { m_garbage = on; }
void EmulatedWidget::setForeignFramesBeforeReply(int count) { m_foreignBeforeReply = count; }
void EmulatedWidget::setEndlessForeignFrames(bool on) { m_endlessForeign = on; }
void EmulatedWidget::refusePage(int pageIndex) { m_refusedPages.insert(pageIndex); }
void EmulatedWidget::setWriteFilter(std::function<void(EmulatedWrite &)> filter) { m_writeFilter = std::move(filter); }
void EmulatedWidget::setReadFilter(std::function<void(EmulatedRead &)> filter) { m_readFilter = std::move(filter); }
void EmulatedWidget::unplugAfterWrites(int writeCalls) { m_unplugAfterWrites = m_writeSizes.size() + writeCalls; }
void EmulatedWidget::unplugAtPage(int pageIndex) { m_unplugAtPage = pageIndex; }

void EmulatedWidget::injectBytes(const QByteArray &rawBytes)
{
    queueRaw(rawBytes, Clock::now());
}

void EmulatedWidget::unplug()
{
    if (!m_plugged)
        return;
    m_plugged = false;
    ++m_generation;
    m_openHandles = 0;
    m_rx.clear();
    m_state = ParseState::Start;
}

void EmulatedWidget::replug()
{
    if (m_plugged)
        return;
    m_plugged = true;
    m_inLoader = false;
    m_unplugAfterWrites = -1;
    m_unplugAtPage = -1;
}

QByteArray EmulatedWidget::flashedImage() const
{
    QByteArray image;
    for (auto it = m_pages.cbegin(); it != m_pages.cend(); ++it)
        image += it.value();
    return image;
}

void EmulatedWidget::clearWire()
{
    m_wire.clear();
    m_writeSizes.clear();
}

QByteArray EmulatedWidget::frame(int label, const QByteArray &payload)
{
    QByteArray bytes;
    bytes.reserve(payload.size() + 5);
    bytes.append(char(PACKET_START));
    bytes.append(char(label));
    bytes.append(char(payload.size() & 0xFF));
    bytes.append(char((payload.size() >> 8) & 0xFF));
    bytes.append(payload);
    bytes.append(char(PACKET_END));
    return bytes;
}

void EmulatedWidget::queueRaw(const QByteArray &bytes, Clock::time_point readyAt)
{
    for (char c : bytes)
        m_rx.push_back({static_cast<unsigned char>(c), readyAt});
}

void EmulatedWidget::reply(int label, const QByteArray &payload)
{
    if (m_silentLabels.value(label, false))
        return;
    if (m_drop > 0) {
        --m_drop;
        return;
    }
    QByteArray bytes = frame(label, payload);
    QVector<QByteArray> &scripted = m_scripted[label];
    if (!scripted.isEmpty())
        bytes = scripted.takeFirst();
    if (m_corrupt > 0 && !bytes.isEmpty()) {
        --m_corrupt;
        bytes[bytes.size() - 1] = char(0x00);
    }
    if (m_garbage) {
        for (char &c : bytes) {
            // xorshift noise that never forms a start byte, so garbage is
            // never mistaken for a frame
            m_noise ^= m_noise << 13;
            m_noise ^= m_noise >> 17;
            m_noise ^= m_noise << 5;
            c = char(m_noise & 0xFF);
            if (static_cast<unsigned char>(c) == PACKET_START)
                c = char(0x7F);
        }
    }
    QByteArray ahead;
    for (int i = 0; i < m_foreignBeforeReply; ++i)
        ahead += frame(ForeignLabel, QByteArray(8, char(i & 0x7F)));
    queueRaw(ahead + bytes, Clock::now() + std::chrono::milliseconds(replyLatencyMs));
}

void EmulatedWidget::frameArrived(int label, const QByteArray &payload)
{
    m_framesByLabel[label] += 1;
    switch (label) {
    case GET_WIDGET_PARAMS: {
        QByteArray params;
        params.append(char(info.firmwareLsb));
        params.append(char(info.firmwareMsb));
        params.append(char(info.breakTime));
        params.append(char(info.mabTime));
        params.append(char(info.refreshRate));
        reply(label, params);
        break;
    }
    case GET_WIDGET_SERIAL: {
        QByteArray serial(4, 0);
        for (int i = 0; i < 4; ++i)
            serial[i] = char((info.serialNumber >> (8 * i)) & 0xFF);
        reply(label, serial);
        break;
    }
    case REPROGRAM_FIRMWARE:
        m_inLoader = true;
        m_pages.clear();
        break;
    case PROGRAM_FLASH_PAGE: {
        if (!m_inLoader)
            break;
        if (payload.size() < 2) {
            reply(label, QByteArray(1, 'F'));
            break;
        }
        const int page = static_cast<unsigned char>(payload[0]) | (static_cast<unsigned char>(payload[1]) << 8);
        if (page == m_unplugAtPage) {
            unplug();
            break;
        }
        const bool accept = payload.size() == 2 + FLASH_PAGE_SIZE && !m_refusedPages.count(page);
        if (accept)
            m_pages.insert(page, payload.mid(2));
        reply(label, QByteArray(1, accept ? char(FLASH_PAGE_OK) : 'F'));
        break;
    }
    default:
        break;
    }
}

void EmulatedWidget::hostBytes(const unsigned char *data, DWORD count)
{
    for (DWORD i = 0; i < count && m_plugged; ++i) {
        const unsigned char b = data[i];
        switch (m_state) {
        case ParseState::Start:
            if (b == PACKET_START)
                m_state = ParseState::Label;
            break;
        case ParseState::Label:
            m_label = b;
            m_state = ParseState::LenLo;
            break;
        case ParseState::LenLo:
            m_length = b;
            m_state = ParseState::LenHi;
            break;
        case ParseState::LenHi:
            m_length |= b << 8;
            m_payload.clear();
            if (m_length > MaxHostPayload)
                m_state = ParseState::Start;
            else
                m_state = m_length ? ParseState::Payload : ParseState::End;
            break;
        case ParseState::Payload:
            m_payload.append(char(b));
            if (m_payload.size() == m_length)
                m_state = ParseState::End;
            break;
        case ParseState::End:
            m_state = ParseState::Start;
            if (b == PACKET_END)
                frameArrived(m_label, m_payload);
            break;
        }
    }
}

// ---------------------------------------------------------------------------

EmulatedBus &EmulatedBus::instance()
{
    static EmulatedBus bus;
    return bus;
}

EmulatedWidgetInfo EmulatedBus::defaultInfo(int index)
{
    EmulatedWidgetInfo info;
    info.description = "Lumora USB DMX";
    info.serialString = QByteArray("EM") + QByteArray::number(index + 1).rightJustified(6, '0');
    info.serialNumber = 0x00201000u + quint32(index);
    info.firmwareLsb = 44;
    info.firmwareMsb = 1;
    info.breakTime = 9;
    info.mabTime = 1;
    info.refreshRate = 40;
    return info;
}

void EmulatedBus::reset(int count)
{
    m_widgets.clear();
    m_handles.clear();
    m_infoList.clear();
    m_failures.clear();
    m_flashDumpPath.clear();
    clearCallCounts();
    driverVersionValue = 0x00010000;
    for (int i = 0; i < count; ++i)
        attach(defaultInfo(i));
}

void EmulatedBus::configureFromEnvironment()
{
    const QList<QByteArray> serials = qgetenv("LUMORA_EMULATOR_SERIALS").split(',');
    const QList<QByteArray> refused = qgetenv("LUMORA_EMULATOR_REFUSE_PAGES").split(',');
    const bool silent = qgetenv("LUMORA_EMULATOR_SILENT") == "1";
    const int latencyMs = qEnvironmentVariableIntValue("LUMORA_EMULATOR_LATENCY_MS");
    for (size_t i = 0; i < m_widgets.size(); ++i) {
        EmulatedWidget &w = *m_widgets[i];
        if (int(i) < serials.size() && !serials[int(i)].isEmpty())
            w.info.serialString = serials[int(i)].left(15);
        for (const QByteArray &page : refused) {
            bool ok = false;
            const int index = page.toInt(&ok);
            if (ok)
                w.refusePage(index);
        }
        if (silent) {
            w.setAutoReply(GET_WIDGET_PARAMS, false);
            w.setAutoReply(GET_WIDGET_SERIAL, false);
        }
        w.replyLatencyMs = qMax(0, latencyMs);
    }
    m_flashDumpPath = QString::fromLocal8Bit(qgetenv("LUMORA_EMULATOR_FLASH_DUMP"));
    if (qgetenv("LUMORA_EMULATOR_NO_WAITS") == "1")
        setSleepFunction([](int) {});
}

EmulatedWidget &EmulatedBus::attach(const EmulatedWidgetInfo &info)
{
    m_widgets.push_back(std::make_unique<EmulatedWidget>(info));
    return *m_widgets.back();
}

EmulatedWidget &EmulatedBus::widget(int index)
{
    return *m_widgets.at(size_t(index));
}

void EmulatedBus::failCall(D2xxCall call, FT_STATUS status, int times)
{
    m_failures[int(call)] = {status, times};
}

void EmulatedBus::clearCallCounts()
{
    std::fill(std::begin(m_calls), std::end(m_calls), 0);
}

bool EmulatedBus::injected(D2xxCall call, FT_STATUS *status)
{
    ++m_calls[int(call)];
    auto it = m_failures.find(int(call));
    if (it == m_failures.end())
        return false;
    *status = it->status;
    if (--it->times <= 0)
        m_failures.erase(it);
    return true;
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
    if (!h->widget->m_plugged || h->widget->m_generation != h->generation) {
        *status = FT_IO_ERROR;
        return nullptr;
    }
    return h;
}

std::vector<EmulatedWidget *> EmulatedBus::pluggedWidgets() const
{
    std::vector<EmulatedWidget *> list;
    for (const auto &w : m_widgets)
        if (w->m_plugged)
            list.push_back(w.get());
    return list;
}

static void copyField(char *field, size_t width, const QByteArray &text)
{
    // Like the chip's own strings: NUL-terminated when they fit, filling the
    // field without a NUL when they do not.
    std::memset(field, 0, width);
    std::memcpy(field, text.constData(), std::min(width, size_t(text.size())));
}

FT_STATUS EmulatedBus::createDeviceInfoList(DWORD *count)
{
    FT_STATUS status;
    if (injected(D2xxCall::CreateDeviceInfoList, &status))
        return status;
    m_infoList.clear();
    for (EmulatedWidget *w : pluggedWidgets()) {
        FT_DEVICE_LIST_INFO_NODE node;
        std::memset(&node, 0, sizeof node);
        node.Flags = w->isOpen() ? FT_FLAGS_OPENED : 0;
        node.Type = FT_DEVICE_232R;
        node.ID = 0x04036001;
        node.LocId = 0x100 + DWORD(m_infoList.size());
        copyField(node.SerialNumber, sizeof node.SerialNumber, w->info.serialString);
        copyField(node.Description, sizeof node.Description, w->info.description);
        m_infoList.push_back(node);
    }
    *count = DWORD(m_infoList.size());
    return FT_OK;
}

FT_STATUS EmulatedBus::getDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *dest, DWORD capacity, DWORD *count)
{
    FT_STATUS status;
    if (injected(D2xxCall::GetDeviceInfoList, &status))
        return status;
    const DWORD n = std::min(capacity, DWORD(m_infoList.size()));
    std::copy(m_infoList.begin(), m_infoList.begin() + n, dest);
    *count = n;
    return FT_OK;
}

FT_STATUS EmulatedBus::deviceCount(DWORD *count)
{
    FT_STATUS status;
    if (injected(D2xxCall::ListDevices, &status))
        return status;
    *count = DWORD(pluggedWidgets().size());
    return FT_OK;
}

FT_STATUS EmulatedBus::open(int index, FT_HANDLE *handle)
{
    FT_STATUS status;
    if (injected(D2xxCall::Open, &status))
        return status;
    const std::vector<EmulatedWidget *> list = pluggedWidgets();
    if (index < 0 || size_t(index) >= list.size())
        return FT_DEVICE_NOT_FOUND;
    EmulatedWidget *w = list[size_t(index)];
    if (w->isOpen())
        return FT_DEVICE_NOT_OPENED;
    ++w->m_openHandles;
    const quintptr id = m_nextHandle++;
    m_handles[id] = {w, w->m_generation, DefaultTimeoutMs, DefaultTimeoutMs};
    *handle = reinterpret_cast<FT_HANDLE>(id);
    return FT_OK;
}

FT_STATUS EmulatedBus::close(FT_HANDLE handle)
{
    FT_STATUS status;
    if (injected(D2xxCall::Close, &status))
        return status;
    Handle *h = known(handle);
    if (!h)
        return FT_INVALID_HANDLE;
    if (h->generation == h->widget->m_generation && h->widget->m_openHandles > 0)
        --h->widget->m_openHandles;
    if (!m_flashDumpPath.isEmpty() && !h->widget->acceptedPages().isEmpty()) {
        QFile dump(m_flashDumpPath);
        if (dump.open(QIODevice::WriteOnly | QIODevice::Truncate))
            dump.write(h->widget->flashedImage());
    }
    m_handles.erase(reinterpret_cast<quintptr>(handle));
    return FT_OK;
}

FT_STATUS EmulatedBus::read(FT_HANDLE handle, unsigned char *buffer, DWORD count, DWORD *delivered)
{
    *delivered = 0;
    FT_STATUS status;
    if (injected(D2xxCall::Read, &status))
        return status;
    Handle *h = live(handle, &status);
    if (!h)
        return status;
    EmulatedWidget *w = h->widget;
    EmulatedRead call;
    call.callIndex = w->m_readCalls++;
    call.requested = count;
    call.limit = count;
    if (w->m_readFilter)
        w->m_readFilter(call);
    // A read cut short returns at once with what it may deliver.
    const DWORD wanted = std::min(count, call.limit);
    if (w->m_endlessForeign && w->m_rx.size() < count + 16)
        w->queueRaw(EmulatedWidget::frame(ForeignLabel, QByteArray(count + 8, char(0x11))), EmulatedWidget::Clock::now());
    const auto deadline = EmulatedWidget::Clock::now()
                          + std::chrono::milliseconds(wanted < count ? 0 : h->readTimeoutMs);
    for (;;) {
        const auto now = EmulatedWidget::Clock::now();
        DWORD ready = 0;
        auto next = deadline;
        for (const auto &b : w->m_rx) {
            if (ready >= wanted)
                break;
            if (b.readyAt > now) {
                next = std::min(next, b.readyAt);
                break;
            }
            ++ready;
        }
        if (ready >= wanted || now >= deadline) {
            for (DWORD i = 0; i < ready; ++i) {
                buffer[i] = w->m_rx.front().value;
                w->m_rx.pop_front();
            }
            *delivered = ready;
            return call.status;
        }
        std::this_thread::sleep_until(next);
    }
}

FT_STATUS EmulatedBus::write(FT_HANDLE handle, const unsigned char *buffer, DWORD count, DWORD *written)
{
    *written = 0;
    FT_STATUS status;
    if (injected(D2xxCall::Write, &status))
        return status;
    Handle *h = live(handle, &status);
    if (!h)
        return status;
    EmulatedWidget *w = h->widget;
    EmulatedWrite call;
    call.callIndex = w->m_writeSizes.size();
    call.requested = count;
    call.accepted = count;
    if (w->m_writeFilter)
        w->m_writeFilter(call);
    const DWORD accepted = std::min(call.accepted, count);
    w->m_wire.append(reinterpret_cast<const char *>(buffer), int(accepted));
    w->m_writeSizes.append(accepted);
    w->hostBytes(buffer, accepted);
    *written = accepted;
    if (w->m_unplugAfterWrites >= 0 && w->m_writeSizes.size() >= w->m_unplugAfterWrites)
        w->unplug();
    return call.status;
}

FT_STATUS EmulatedBus::purge(FT_HANDLE handle, ULONG mask)
{
    FT_STATUS status;
    if (injected(D2xxCall::Purge, &status))
        return status;
    Handle *h = live(handle, &status);
    if (!h)
        return status;
    if (mask & FT_PURGE_RX)
        h->widget->m_rx.clear();
    return FT_OK;
}

FT_STATUS EmulatedBus::setTimeouts(FT_HANDLE handle, ULONG readMs, ULONG writeMs)
{
    FT_STATUS status;
    if (injected(D2xxCall::SetTimeouts, &status))
        return status;
    Handle *h = live(handle, &status);
    if (!h)
        return status;
    h->readTimeoutMs = readMs;
    h->writeTimeoutMs = writeMs;
    return FT_OK;
}

FT_STATUS EmulatedBus::latencyTimer(FT_HANDLE handle, UCHAR *timer)
{
    FT_STATUS status;
    if (injected(D2xxCall::LatencyTimer, &status))
        return status;
    if (!live(handle, &status))
        return status;
    *timer = 16;
    return FT_OK;
}

FT_STATUS EmulatedBus::driverVersion(FT_HANDLE handle, DWORD *version)
{
    FT_STATUS status;
    if (injected(D2xxCall::DriverVersion, &status))
        return status;
    if (!live(handle, &status))
        return status;
    *version = driverVersionValue;
    return FT_OK;
}

} // namespace lumora

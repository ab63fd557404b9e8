// Emulated widgets behind the D2XX functions: for trying the program without
// hardware and for tests, which drive them through this API (script replies,
// add latency, drop or corrupt replies, inject foreign frames, cut writes
// short, fail calls, unplug).
#ifndef LUMORA_EMULATEDWIDGET_H
#define LUMORA_EMULATEDWIDGET_H

#include "d2xxbackend.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVector>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <map>
#include <set>

namespace lumora {

enum class D2xxCall {
    Open, Close, Read, Write, Purge, SetTimeouts, ListDevices,
    LatencyTimer, CreateDeviceInfoList, GetDeviceInfoList, DriverVersion,
    CallKinds
};

struct EmulatedWidgetInfo
{
    QByteArray description;
    QByteArray serialString;
    quint32 serialNumber = 0;
    quint8 firmwareLsb = 0;
    quint8 firmwareMsb = 0;
    quint8 breakTime = 9;
    quint8 mabTime = 1;
    quint8 refreshRate = 40;
};

// One write call as the emulated chip sees it; a write filter may lower
// `accepted` (bytes taken from the buffer) and change `status`.
struct EmulatedWrite
{
    int callIndex = 0;   // counts the widget's write calls from 0
    DWORD requested = 0;
    DWORD accepted = 0;
    FT_STATUS status = FT_OK;
};

// One read call as the emulated chip sees it; a read filter may lower
// `limit` (most bytes this call delivers) and change `status`.
struct EmulatedRead
{
    int callIndex = 0;   // counts the widget's read calls from 0
    DWORD requested = 0;
    DWORD limit = 0;
    FT_STATUS status = FT_OK;
};

class EmulatedWidget
{
public:
    using Clock = std::chrono::steady_clock;

    explicit EmulatedWidget(EmulatedWidgetInfo info);

    EmulatedWidgetInfo info;

    // --- behaviour -------------------------------------------------------
    int replyLatencyMs = 0;                 // delay before each reply arrives
    void setAutoReply(int label, bool answer); // false: stay silent to label
    // The next reply to `label` is these raw bytes instead of the real frame
    // (queued: one scripted reply per request).
    void scriptReply(int label, const QByteArray &rawBytes);
    void dropReplies(int count);            // the next `count` replies vanish
    void corruptReplies(int count);         // ... arrive with a wrong end byte
    void setGarbageReplies(bool on);        // every reply replaced by noise
    void setForeignFramesBeforeReply(int count); // foreign frames ahead of each reply
    void injectBytes(const QByteArray &rawBytes); // into the receive stream, now
    void setEndlessForeignFrames(bool on);  // babbles foreign frames without pause
    void refusePage(int pageIndex);         // answer that page with 'F'
    void setWriteFilter(std::function<void(EmulatedWrite &)> filter);
    void setReadFilter(std::function<void(EmulatedRead &)> filter);
    void unplugAfterWrites(int writeCalls); // pulled out after that many writes
    void unplugAtPage(int pageIndex);       // pulled out when that page arrives
    void unplug();
    void replug();

    // --- observation -----------------------------------------------------
    bool plugged() const { return m_plugged; }
    bool isOpen() const { return m_openHandles > 0; }
    bool inLoader() const { return m_inLoader; }
    const QByteArray &wire() const { return m_wire; }   // every byte written
    const QVector<DWORD> &writeSizes() const { return m_writeSizes; }
    const QMap<int, QByteArray> &acceptedPages() const { return m_pages; }
    QByteArray flashedImage() const;        // accepted pages in index order
    int framesReceived(int label) const { return m_framesByLabel.value(label); }
    int pendingBytes() const { return int(m_rx.size()); }
    void clearWire();

private:
    friend class EmulatedBus;
    struct PendingByte { unsigned char value; Clock::time_point readyAt; };

    void hostBytes(const unsigned char *data, DWORD count);
    void frameArrived(int label, const QByteArray &payload);
    void reply(int label, const QByteArray &payload);
    void queueRaw(const QByteArray &bytes, Clock::time_point readyAt);
    static QByteArray frame(int label, const QByteArray &payload);

    bool m_plugged = true;
    int m_generation = 0;
    int m_openHandles = 0;
    bool m_inLoader = false;
    QMap<int, bool> m_silentLabels;
    QMap<int, QVector<QByteArray>> m_scripted;
    int m_drop = 0;
    int m_corrupt = 0;
    bool m_garbage = false;
    int m_foreignBeforeReply = 0;
    bool m_endlessForeign = false;
    std::set<int> m_refusedPages;
    std::function<void(EmulatedWrite &)> m_writeFilter;
    std::function<void(EmulatedRead &)> m_readFilter;
    int m_readCalls = 0;
    int m_unplugAfterWrites = -1;
    int m_unplugAtPage = -1;
    quint32 m_noise = 0x2545F491u;

    std::deque<PendingByte> m_rx;
    QByteArray m_wire;
    QVector<DWORD> m_writeSizes;
    QMap<int, QByteArray> m_pages;
    QMap<int, int> m_framesByLabel;

    // host-to-widget frame parser
    enum class ParseState { Start, Label, LenLo, LenHi, Payload, End } m_state = ParseState::Start;
    int m_label = 0;
    int m_length = 0;
    QByteArray m_payload;
};

class EmulatedBus : public D2xxBackend
{
public:
    static constexpr int MaxWidgets = 64;
    static EmulatedBus &instance();

    // A fresh bus with `count` widgets of the default kind; every handle of
    // the previous bus becomes invalid, every injected failure is cleared.
    void reset(int count);
    EmulatedWidget &attach(const EmulatedWidgetInfo &info);
    EmulatedWidget &widget(int index);
    int widgetCount() const { return int(m_widgets.size()); }
    static EmulatedWidgetInfo defaultInfo(int index);

    // The next `times` calls of that function return `status`.
    void failCall(D2xxCall call, FT_STATUS status, int times = 1);
    int calls(D2xxCall call) const { return m_calls[int(call)]; }
    void clearCallCounts();
    DWORD driverVersionValue = 0x00010000;

    // Shapes the bus from the environment, for trying failures from outside
    // the process (the command-line flasher's tests, a demo):
    //   LUMORA_EMULATOR_SERIALS     serial strings of the widgets, comma-separated
    //   LUMORA_EMULATOR_REFUSE_PAGES  page indices every widget refuses
    //   LUMORA_EMULATOR_SILENT      1: widgets never answer (opening fails)
    //   LUMORA_EMULATOR_LATENCY_MS  delay before each reply
    //   LUMORA_EMULATOR_FLASH_DUMP  file that receives a widget's accepted
    //                               pages when its handle is closed
    //   LUMORA_EMULATOR_NO_WAITS    1: skip the pauses meant for real hardware
    void configureFromEnvironment();

    // D2xxBackend
    const char *name() const override { return "emulated"; }
    FT_STATUS createDeviceInfoList(DWORD *count) override;
    FT_STATUS getDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *dest, DWORD capacity, DWORD *count) override;
    FT_STATUS deviceCount(DWORD *count) override;
    FT_STATUS open(int index, FT_HANDLE *handle) override;
    FT_STATUS close(FT_HANDLE handle) override;
    FT_STATUS read(FT_HANDLE handle, unsigned char *buffer, DWORD count, DWORD *delivered) override;
    FT_STATUS write(FT_HANDLE handle, const unsigned char *buffer, DWORD count, DWORD *written) override;
    FT_STATUS purge(FT_HANDLE handle, ULONG mask) override;
    FT_STATUS setTimeouts(FT_HANDLE handle, ULONG readMs, ULONG writeMs) override;
    FT_STATUS latencyTimer(FT_HANDLE handle, UCHAR *timer) override;
    FT_STATUS driverVersion(FT_HANDLE handle, DWORD *version) override;

private:
    struct Handle {
        EmulatedWidget *widget;
        int generation;
        ULONG readTimeoutMs;
        ULONG writeTimeoutMs;
    };

    bool injected(D2xxCall call, FT_STATUS *status);
    Handle *live(FT_HANDLE handle, FT_STATUS *status);
    Handle *known(FT_HANDLE handle);
    std::vector<EmulatedWidget *> pluggedWidgets() const;

    std::vector<std::unique_ptr<EmulatedWidget>> m_widgets;
    // Handles are numbers that are never reused, so a stale handle can never
    // reach another device.
    std::map<quintptr, Handle> m_handles;
    quintptr m_nextHandle = 0x1000;
    std::vector<FT_DEVICE_LIST_INFO_NODE> m_infoList;
    int m_calls[int(D2xxCall::CallKinds)] = {};
    struct Failure { FT_STATUS status; int times; };
    QMap<int, Failure> m_failures;
    QString m_flashDumpPath;
};

} // namespace lumora

#endif

#ifndef LUMORA_WIDGETLINK_H
#define LUMORA_WIDGETLINK_H

#include "devicelist.h"
#include "ftd2xx.h"
#include "protocol.h"

#include <QLoggingCategory>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

// The link's own messages: the open report, and why a widget failed.
Q_DECLARE_LOGGING_CATEGORY(lcLink)

#pragma pack(push, 1)
// The first five payload bytes of a GET_WIDGET_PARAMS reply, as they arrive.
struct WidgetParams
{
    uint8_t firmwareLsb;
    uint8_t firmwareMsb;
    uint8_t breakTime;   // units of 10.67 us
    uint8_t mabTime;     // units of 10.67 us
    uint8_t refreshRate; // packets per second, 0 = as fast as possible
};
#pragma pack(pop)
static_assert(sizeof(WidgetParams) == 5, "WidgetParams is received as five raw bytes");

// How far opening a widget got. Opening has two steps: the USB device is
// opened and set up, then the widget is asked who it is.
enum class OpenStage {
    NotFound,   // no such entry in the device list, or the device is gone
    Refused,    // the system would not give us the device (permissions, the
                // kernel's serial driver, another program)
    Opened,     // the device is open and set up; the widget was not asked yet
    Silent,     // the device is open, took the parameter request and the widget
                // did not answer it (not a widget, or one waiting in its loader)
    Unreachable, // the device is open but talking to it failed: the request
                 // did not go out, or a read failed (pulled out, a hung chip)
    Identified, // the widget answered: `params` holds what it reported
};

struct OpenResult
{
    OpenStage stage = OpenStage::NotFound;
    QString reason; // what went wrong, in words that say what to do

    bool identified() const { return stage == OpenStage::Identified; }
    // The USB device is held, whether or not the widget answered.
    bool deviceOpen() const
    {
        return stage == OpenStage::Opened || stage == OpenStage::Silent || stage == OpenStage::Unreachable
               || identified();
    }
};

// The connection to one widget: its D2XX handle (none while closed) and the
// parameters it reported when it was opened.
class WidgetLink
{
public:
    WidgetParams params{};
    FT_HANDLE handle = nullptr;
    // Where open() prints the refresh-rate line; the window keeps standard
    // output, the command-line flasher keeps it for its own results.
    std::FILE *reportStream = stdout;
    // However slowly the bytes come, a receive gives up after this long: a
    // widget that trickles bytes without ever completing a frame must not
    // hold the caller.
    int receiveLimitMs = 1000;
    // A failed open is a warning; a caller that expects failures while it
    // tries (a widget that is still restarting) logs them as debug lines.
    bool warnOnFailure = true;

    // Each returns 1 on success, 0 on failure.
    int sendPacket(int label, const unsigned char *data, int len);
    int receivePacket(int label, unsigned char *dst, int len);
    // Opens entry `device` of the device list and identifies the widget; on
    // failure the link holds no handle.
    int open(int device);

    // The two steps of an open, for callers that need to know which failed.
    // Opens the USB device (entry `device` of the list) with a few tries, and
    // sets it up for the widget's protocol. Anything held before is let go
    // first.
    OpenResult openDevice(int device);
    // The device of this entry of a device list, that device or none;
    // `name` names it in the log lines.
    OpenResult openDeviceAt(const lumora::DeviceEntry &entry, const QString &name);
    // Asks the open device for its parameters (and takes its serial reply out
    // of the stream). `replyReads`: how many times to look for the reply. A
    // silent widget keeps its handle; the caller decides whether to go on.
    OpenResult identify(int replyReads = 2);
    // Both steps; a silent widget is let go.
    OpenResult openWidget(int device);
    OpenResult openWidget(const lumora::DeviceEntry &entry, const QString &name);

    // A device is held; `params` is valid only when identified() too.
    bool isOpen() const { return handle != nullptr; }
    bool identified() const { return isOpen() && m_identified; }

    // Lets go of the widget: closes the handle, if any, and sets it to none.
    void close();

    // After a reply that did not arrive whole: throws away what the widget
    // still sends until the line has been quiet for one read time-out (a few
    // at most), then purges what is left, so that a late reply is never taken
    // for the answer to the next request.
    void discardLateReplies();

    // The status of the D2XX call that made the last sendPacket or
    // receivePacket fail; FT_OK when it failed on time or on the frame
    // alone (the widget did not answer, or answered nonsense).
    FT_STATUS ioStatus() const { return m_ioStatus; }
    // Why the last open, or the last failed send or receive, failed, in words
    // that say what to do; empty when there is nothing to say.
    QString errorString() const { return m_error; }

    // The USB serial string the open device itself reports, whole; false
    // when it cannot be asked (errorString() says why).
    bool reportedSerial(QByteArray *serial);
    // Drops what the widget sent and the host has not read.
    void purgeReceived();

    // Asks the widget for its serial number (GET_WIDGET_SERIAL); 1 when a
    // reply arrived and `serial` holds it, 0 otherwise (`serial` untouched).
    int readSerialNumber(uint32_t *serial);
    // The serial number the widget gave when it was identified; false when
    // it did not give one.
    bool identifiedSerialNumber(uint32_t *serial) const;

    // Time the widget's break and mark-after-break bytes stand for.
    static int breakTimeMicroseconds(uint8_t breakTime);
    static int mabTimeMicroseconds(uint8_t mabTime);

private:
    // `device` names the widget in the log lines, `attempt` makes one try.
    OpenResult openWith(const QString &device, const std::function<FT_STATUS()> &attempt);
    // Identifies the widget of a device just opened; a silent one is let go.
    OpenResult identifyOpened(const OpenResult &opened);
    // Notes a failing status of a call on the handle, with the backend's words.
    void failed(FT_STATUS status, const char *what);
    // Logs why the open failed (errorString()).
    void warn() const;

    FT_STATUS m_ioStatus = FT_OK;
    QString m_error;
    QString m_device;          // how the log lines name the open device
    bool m_identified = false; // `params` came from the device held now
    bool m_hasSerialNumber = false;
    uint32_t m_serialNumber = 0;
    std::vector<unsigned char> m_frame; // the frame sendPacket writes
};

#endif

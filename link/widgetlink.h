#ifndef LUMORA_WIDGETLINK_H
#define LUMORA_WIDGETLINK_H

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

    // Each returns 1 on success, 0 on failure.
    int sendPacket(int label, const unsigned char *data, int len);
    int receivePacket(int label, unsigned char *dst, int len);
    int open(int device);
    // The same, for the attached widget with this serial string, wherever it
    // stands in the device list.
    int openSerial(const QByteArray &serial);

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

    // Asks the widget for its serial number (GET_WIDGET_SERIAL); 1 when a
    // reply arrived and `serial` holds it, 0 otherwise (`serial` untouched).
    int readSerialNumber(uint32_t *serial);

    // Time the widget's break and mark-after-break bytes stand for.
    static int breakTimeMicroseconds(uint8_t breakTime);
    static int mabTimeMicroseconds(uint8_t mabTime);

private:
    // open() and openSerial(): `device` names the widget in the log lines,
    // `openDevice` makes one attempt.
    int openWith(const QString &device, const std::function<FT_STATUS()> &openDevice);
    // Notes a failing status of a call on the handle, with the backend's words.
    void failed(FT_STATUS status, const char *what);

    FT_STATUS m_ioStatus = FT_OK;
    QString m_error;
    std::vector<unsigned char> m_frame; // the frame sendPacket writes
};

#endif

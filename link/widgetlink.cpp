#include "widgetlink.h"
#include "d2xxbackend.h"
#include "sleep.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

Q_LOGGING_CATEGORY(lcLink, "lumora.link")

namespace {

constexpr int OpenAttempts = 3;
constexpr int PauseAfterOpenMs = 750;
constexpr ULONG ReadTimeoutMs = 120;
constexpr ULONG WriteTimeoutMs = 100;
// A widget that never stops sending other frames must not hold the caller
// for ever: give up the hunt after this many bytes without the wanted frame.
constexpr int MaxHuntBytes = 65536;

// What the backend knows about the last failure on `handle` (a null handle:
// the calling thread's last open), or else the status's name.
QString backendReason(FT_HANDLE handle, FT_STATUS status)
{
    const std::string text = lumora::d2xxBackend().errorText(handle);
    if (!text.empty())
        return QString::fromStdString(text) + QStringLiteral(" (%1)").arg(lumora::ftStatusName(status));
    return QString::fromLatin1(lumora::ftStatusName(status));
}

} // namespace

void WidgetLink::failed(FT_STATUS status, const char *what)
{
    m_ioStatus = status;
    m_error = QStringLiteral("%1 failed: %2").arg(QLatin1String(what), backendReason(handle, status));
}

void WidgetLink::warn() const
{
    if (warnOnFailure)
        qCWarning(lcLink).noquote() << m_error;
    else
        qCDebug(lcLink).noquote() << m_error;
}

void WidgetLink::close()
{
    if (handle)
        FT_Close(handle);
    handle = nullptr;
    m_identified = false;
}

void WidgetLink::discardLateReplies()
{
    constexpr int MaxReads = 8;
    unsigned char scrap[RECEIVE_BUFFER_SIZE];
    for (int i = 0; i < MaxReads; ++i) {
        DWORD got = 0;
        if (FT_Read(handle, scrap, sizeof scrap, &got) != FT_OK || got == 0)
            break;
    }
    purgeReceived();
}

int WidgetLink::sendPacket(int label, const unsigned char *data, int len)
{
    m_ioStatus = FT_OK;
    if (len < 0)
        return 0;
    // The whole frame in one write: on USB every write is a transfer of its
    // own, and each can cost a bus frame.
    m_frame.resize(size_t(len) + 5);
    m_frame[0] = PACKET_START;
    m_frame[1] = static_cast<unsigned char>(label & 0xFF);
    m_frame[2] = static_cast<unsigned char>(len & 0xFF);
    m_frame[3] = static_cast<unsigned char>((len >> 8) & 0xFF);
    if (len > 0)
        std::memcpy(&m_frame[4], data, size_t(len));
    m_frame.back() = PACKET_END;
    DWORD written = 0;
    const FT_STATUS status = FT_Write(handle, m_frame.data(), DWORD(m_frame.size()), &written);
    if (status != FT_OK)
        failed(status, "Writing to the widget");
    return (status == FT_OK && written == DWORD(m_frame.size())) ? 1 : 0;
}

int WidgetLink::receivePacket(int label, unsigned char *dst, int len)
{
    m_ioStatus = FT_OK;
    unsigned char ch = 0;
    DWORD got = 0;
    FT_STATUS status = FT_OK;
    auto readByte = [&] { return status = FT_Read(handle, &ch, 1, &got); };
    // A read that delivered nothing ends the receive; a failing status says why.
    auto nothingRead = [&] {
        if (got != 0)
            return false;
        if (status != FT_OK)
            failed(status, "Reading from the widget");
        return true;
    };

    // Hunt byte by byte for a start byte followed by the wanted label. A frame
    // of another label is not skipped by its length: its bytes are hunted
    // through like any others.
    int hunted = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(receiveLimitMs);
    auto huntOver = [&] {
        return nothingRead() || ++hunted > MaxHuntBytes || std::chrono::steady_clock::now() > deadline;
    };
    while (ch != label) {
        if (ch != PACKET_START) {
            do {
                readByte();
                if (huntOver())
                    return 0;
            } while (ch != PACKET_START);
        }
        readByte();
        if (huntOver())
            return 0;
    }

    readByte();
    if (nothingRead())
        return 0;
    const int lengthLow = ch;

    // The high byte must really arrive; a time-out here must not reuse the
    // low byte still in the register.
    readByte();
    if (nothingRead())
        return 0;
    if (status != FT_OK) {
        failed(status, "Reading from the widget");
        return 0;
    }
    const int length = lengthLow + 256 * ch;
    if (length > MAX_PAYLOAD_SIZE)
        return 0;

    unsigned char payload[RECEIVE_BUFFER_SIZE];
    status = FT_Read(handle, payload, DWORD(length), &got);
    if (got != DWORD(length)) {
        if (status != FT_OK)
            failed(status, "Reading from the widget");
        return 0;
    }

    readByte();
    if (nothingRead() || ch != PACKET_END)
        return 0;

    // A payload shorter than what the caller takes leaves zeros behind it.
    const int copied = len < length ? len : length;
    if (copied > 0)
        std::memcpy(dst, payload, size_t(copied));
    if (len > copied)
        std::memset(dst + copied, 0, size_t(len - copied));
    return 1;
}

int WidgetLink::readSerialNumber(uint32_t *serial)
{
    const unsigned char request[2] = {0, 0};
    unsigned char reply[4] = {0, 0, 0, 0};
    sendPacket(GET_WIDGET_SERIAL, request, 2);
    if (!receivePacket(GET_WIDGET_SERIAL, reply, 4))
        return 0;
    *serial = uint32_t(reply[0]) | (uint32_t(reply[1]) << 8) | (uint32_t(reply[2]) << 16) | (uint32_t(reply[3]) << 24);
    return 1;
}

int WidgetLink::breakTimeMicroseconds(uint8_t breakTime)
{
    return 100 + int(std::trunc(breakTime * TIMING_UNIT_US));
}

int WidgetLink::mabTimeMicroseconds(uint8_t mabTime)
{
    return int(std::trunc(mabTime * TIMING_UNIT_US));
}

int WidgetLink::open(int device)
{
    return openWidget(device).identified() ? 1 : 0;
}

OpenResult WidgetLink::openWidget(int device)
{
    return identifyOpened(openDevice(device));
}

OpenResult WidgetLink::openWidget(const lumora::DeviceEntry &entry, const QString &name)
{
    return identifyOpened(openDeviceAt(entry, name));
}

OpenResult WidgetLink::identifyOpened(const OpenResult &opened)
{
    if (opened.stage != OpenStage::Opened)
        return opened;
    const OpenResult result = identify();
    if (!result.identified())
        close();
    return result;
}

OpenResult WidgetLink::openDevice(int device)
{
    return openWith(QString::number(device), [&] { return FT_Open(device, &handle); });
}

OpenResult WidgetLink::openDeviceAt(const lumora::DeviceEntry &entry, const QString &name)
{
    return openWith(name, [&] { return lumora::d2xxBackend().openEntry(entry, &handle); });
}

bool WidgetLink::reportedSerial(QByteArray *serial)
{
    lumora::DeviceEntry device;
    const FT_STATUS status = handle ? lumora::d2xxBackend().deviceInfo(handle, &device) : FT_STATUS(FT_INVALID_HANDLE);
    if (status != FT_OK) {
        failed(status, "Asking the widget for its serial string");
        return false;
    }
    *serial = device.serial;
    return true;
}

void WidgetLink::purgeReceived()
{
    FT_Purge(handle, FT_PURGE_RX);
}

OpenResult WidgetLink::openWith(const QString &device, const std::function<FT_STATUS()> &attempt)
{
    close();
    m_error.clear();
    m_device = device;

    FT_STATUS status = FT_OTHER_ERROR;
    for (int i = 0; i < OpenAttempts; ++i) {
        qCDebug(lcLink).noquote() << QStringLiteral("\n------ D2XX ------- Opening [Device %1] ------ Try %2")
                                         .arg(device).arg(i);
        status = attempt();
        lumora::sleepMs(PauseAfterOpenMs);
        if (status == FT_OK)
            break;
    }
    if (status != FT_OK) {
        handle = nullptr;
        m_error = QStringLiteral("Opening device %1 failed: %2").arg(device).arg(backendReason(nullptr, status));
        warn();
        return {status == FT_DEVICE_NOT_FOUND ? OpenStage::NotFound : OpenStage::Refused, m_error};
    }

    DWORD version = 0;
    if (FT_GetDriverVersion(handle, &version) == FT_OK)
        qCDebug(lcLink, "\nD2XX Driver Version:: %02X.%02X.%02X ", unsigned((version >> 16) & 0xFF),
                unsigned((version >> 8) & 0xFF), unsigned(version & 0xFF));
    else
        qCDebug(lcLink, "Unable to Get D2XX Driver Version");

    UCHAR timer = 0;
    if (FT_GetLatencyTimer(handle, &timer) == FT_OK)
        qCDebug(lcLink, "\nLatency Timer:: %d ", int(timer));
    else
        qCDebug(lcLink, "\nUnable to Get Latency Timer");

    // Every reply of the widget ends with PACKET_END: as the event character
    // it makes the chip send a reply the moment it is complete, instead of
    // holding it until the latency timer runs out (16 ms unless set lower;
    // the timer stays the fallback).
    FT_SetChars(handle, PACKET_END, 1, 0, 0);
    FT_SetTimeouts(handle, ReadTimeoutMs, WriteTimeoutMs);
    purgeReceived();
    return {OpenStage::Opened, QString()};
}

bool WidgetLink::identifiedSerialNumber(uint32_t *serial) const
{
    if (!identified() || !m_hasSerialNumber)
        return false;
    *serial = m_serialNumber;
    return true;
}

OpenResult WidgetLink::identify(int replyReads)
{
    m_identified = false;
    m_hasSerialNumber = false;
    m_error.clear();
    if (!isOpen())
        return {OpenStage::NotFound, QStringLiteral("No device open")};

    const unsigned char request[2] = {0, 0};
    qCDebug(lcLink, "Sending GET_WIDGET_PARAMS packet... ");
    if (sendPacket(GET_WIDGET_PARAMS, request, 2)) {
        qCDebug(lcLink, "\n PRO Connected Succesfully");
    } else {
        // Clear what is stuck on the way out and try once more.
        FT_Purge(handle, FT_PURGE_TX);
        if (!sendPacket(GET_WIDGET_PARAMS, request, 2)) {
            const QString why = m_error.isEmpty() ? QStringLiteral("the request was not written whole") : m_error;
            m_error = QStringLiteral("Device %1 did not take its parameter request: %2; unplug the widget, plug it"
                                     " in again and scan")
                          .arg(m_device).arg(why);
            warn();
            return {OpenStage::Unreachable, m_error};
        }
    }

    qCDebug(lcLink, "\nWaiting for GET_WIDGET_PARAMS_REPLY packet... ");
    auto *record = reinterpret_cast<unsigned char *>(&params);
    bool answered = false;
    for (int read = 0; read < replyReads && !answered; ++read) {
        answered = receivePacket(GET_WIDGET_PARAMS, record, sizeof params);
        if (answered && read == 0)
            qCDebug(lcLink, "\n GET WIDGET REPLY Received ... ");
    }
    if (!answered) {
        const QString why = m_error;
        m_error = why.isEmpty()
                      ? QStringLiteral("Device %1 did not answer its parameter request: is it a Lumora widget? Unplug"
                                       " it, plug it in again and scan")
                            .arg(m_device)
                      : QStringLiteral("Device %1 did not answer its parameter request: %2").arg(m_device).arg(why);
        warn();
        return {why.isEmpty() ? OpenStage::Silent : OpenStage::Unreachable, m_error};
    }

    // Take the serial reply out of the stream; the panel asks again to show
    // it, the flasher compares it with what the widget says after an update.
    m_hasSerialNumber = readSerialNumber(&m_serialNumber);
    m_error.clear();
    m_identified = true;

    qCDebug(lcLink, "\n-----------::PRO Connected [Information Follows]::------------");
    qCDebug(lcLink, "\n\t\t  FIRMWARE VERSION: %d.%d", int(params.firmwareMsb), int(params.firmwareLsb));
    qCDebug(lcLink, "\n\t\t  BREAK TIME: %d micro sec ", breakTimeMicroseconds(params.breakTime));
    qCDebug(lcLink, "\n\t\t  MAB TIME: %d micro sec", mabTimeMicroseconds(params.mabTime));
    if (reportStream) {
        std::fprintf(reportStream, "\n\t\t  SEND REFRESH RATE: %d packets/sec", int(params.refreshRate));
        std::fflush(reportStream);
    }
    return {OpenStage::Identified, QString()};
}

#include "widgetlink.h"
#include "sleep.h"

#include <QMessageLogger>

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// The link's messages carry no source location.
QMessageLogger logger()
{
    return QMessageLogger(nullptr, 0, nullptr);
}

constexpr int OpenAttempts = 3;
constexpr int PauseAfterOpenMs = 750;
constexpr ULONG ReadTimeoutMs = 120;
constexpr ULONG WriteTimeoutMs = 100;
// A widget that never stops sending other frames must not hold the caller
// for ever: give up the hunt after this many bytes without the wanted frame.
constexpr int MaxHuntBytes = 65536;

} // namespace

int WidgetLink::sendPacket(int label, const unsigned char *data, int len)
{
    unsigned char header[4] = {
        PACKET_START,
        static_cast<unsigned char>(label & 0xFF),
        static_cast<unsigned char>(len & 0xFF),
        static_cast<unsigned char>((len >> 8) & 0xFF),
    };
    DWORD written = 0;
    FT_Write(handle, header, 4, &written);
    if (written != 4)
        return 0;

    const DWORD count = DWORD(len);
    FT_Write(handle, const_cast<unsigned char *>(data), count, &written);
    if (written != count)
        return 0;

    unsigned char end = PACKET_END;
    const FT_STATUS status = FT_Write(handle, &end, 1, &written);
    return (written == 1 && status == FT_OK) ? 1 : 0;
}

int WidgetLink::receivePacket(int label, unsigned char *dst, int len)
{
    unsigned char ch = 0;
    DWORD got = 0;
    auto readByte = [&] { return FT_Read(handle, &ch, 1, &got); };

    // Hunt byte by byte for a start byte followed by the wanted label. A frame
    // of another label is not skipped by its length: its bytes are hunted
    // through like any others.
    int hunted = 0;
    while (ch != label) {
        if (ch != PACKET_START) {
            do {
                readByte();
                if (got == 0 || ++hunted > MaxHuntBytes)
                    return 0;
            } while (ch != PACKET_START);
        }
        readByte();
        if (got == 0 || ++hunted > MaxHuntBytes)
            return 0;
    }

    readByte();
    if (got == 0)
        return 0;
    const int lengthLow = ch;

    // The high byte must really arrive; a time-out here must not reuse the
    // low byte still in the register.
    if (readByte() != FT_OK || got == 0)
        return 0;
    const int length = lengthLow + 256 * ch;
    if (length > MAX_PAYLOAD_SIZE)
        return 0;

    unsigned char payload[RECEIVE_BUFFER_SIZE];
    FT_Read(handle, payload, DWORD(length), &got);
    if (got != DWORD(length))
        return 0;

    readByte();
    if (got == 0 || ch != PACKET_END)
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
    if (handle) {
        FT_Close(handle);
        handle = nullptr;
    }

    FT_STATUS status = FT_OTHER_ERROR;
    for (int attempt = 0; attempt < OpenAttempts; ++attempt) {
        logger().debug("\n------ D2XX ------- Opening [Device %d] ------ Try %d", device, attempt);
        status = FT_Open(device, &handle);
        lumora::sleepMs(PauseAfterOpenMs);
        if (status == FT_OK)
            break;
    }
    if (status != FT_OK) {
        handle = nullptr;
        return 0;
    }

    DWORD version = 0;
    if (FT_GetDriverVersion(handle, &version) == FT_OK)
        logger().debug("\nD2XX Driver Version:: %02X.%02X.%02X ", unsigned((version >> 16) & 0xFF),
                       unsigned((version >> 8) & 0xFF), unsigned(version & 0xFF));
    else
        logger().debug("Unable to Get D2XX Driver Version");

    UCHAR timer = 0;
    if (FT_GetLatencyTimer(handle, &timer) == FT_OK)
        logger().debug("\nLatency Timer:: %d ", int(timer));
    else
        logger().debug("\nUnable to Get Latency Timer");

    FT_SetTimeouts(handle, ReadTimeoutMs, WriteTimeoutMs);
    FT_Purge(handle, FT_PURGE_RX);

    const unsigned char request[2] = {0, 0};
    logger().debug("Sending GET_WIDGET_PARAMS packet... ");
    if (sendPacket(GET_WIDGET_PARAMS, request, 2)) {
        logger().debug("\n PRO Connected Succesfully");
    } else {
        // Clear what is stuck on the way out and try once more.
        FT_Purge(handle, FT_PURGE_TX);
        if (!sendPacket(GET_WIDGET_PARAMS, request, 2)) {
            FT_Close(handle);
            handle = nullptr;
            return 0;
        }
    }

    logger().debug("\nWaiting for GET_WIDGET_PARAMS_REPLY packet... ");
    auto *record = reinterpret_cast<unsigned char *>(&params);
    if (receivePacket(GET_WIDGET_PARAMS, record, sizeof params)) {
        logger().debug("\n GET WIDGET REPLY Received ... ");
    } else if (!receivePacket(GET_WIDGET_PARAMS, record, sizeof params)) {
        FT_Close(handle);
        handle = nullptr;
        return 0;
    }

    // Take the serial reply out of the stream; the panel asks again to show it.
    uint32_t serial = 0;
    readSerialNumber(&serial);

    logger().debug("\n-----------::PRO Connected [Information Follows]::------------");
    logger().debug("\n\t\t  FIRMWARE VERSION: %d.%d", int(params.firmwareMsb), int(params.firmwareLsb));
    logger().debug("\n\t\t  BREAK TIME: %d micro sec ", breakTimeMicroseconds(params.breakTime));
    logger().debug("\n\t\t  MAB TIME: %d micro sec", mabTimeMicroseconds(params.mabTime));
    if (reportStream) {
        std::fprintf(reportStream, "\n\t\t  SEND REFRESH RATE: %d packets/sec", int(params.refreshRate));
        std::fflush(reportStream);
    }
    return 1;
}

// receivePacket over an arbitrary byte stream, with reads cut short and
// failing statuses chosen by the input.
//
// Input: label, wanted length (2 bytes, little-endian, up to 600), number of
// read rules n, n rules of two bytes (most bytes delivered; bit 7 of the
// second: the read fails), then the stream the widget sends.
#include "emulatedbus.h"
#include "faultinjection.h"
#include "widgetlink.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

using lumora::EmulatedBus;
using lumora::FilteredCall;

namespace {
lumora::FaultInjection *injection = nullptr;
}

namespace {
constexpr int Guard = 32;
constexpr unsigned char Fill = 0xA5;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The emulated backend stands in for the chip; choose it now, before the
    // first input resets the bus.
    qputenv("LUMORA_EMULATOR", "1");
    DWORD count = 0;
    FT_CreateDeviceInfoList(&count);
    injection = new lumora::FaultInjection(EmulatedBus::instance());
    lumora::setD2xxBackend(injection);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    const int label = data[0];
    const int len = (data[1] | (data[2] << 8)) % 601;
    const size_t rules = data[3] % 32;
    size_t pos = 4;
    if (size < pos + 2 * rules)
        return 0;
    const std::vector<uint8_t> rule(data + pos, data + pos + 2 * rules);
    pos += 2 * rules;

    EmulatedBus &bus = EmulatedBus::instance();
    bus.reset(1);
    lumora::EmulatedWidget &widget = bus.widget(0);
    widget.setAutoReply(label, false);
    widget.injectBytes(QByteArray(reinterpret_cast<const char *>(data + pos), int(size - pos)));
    injection->setReadFilter({});
    if (rules > 0) {
        injection->setReadFilter([&rule, rules](FilteredCall &call) {
            const size_t r = size_t(call.callIndex) % rules;
            call.allowed = std::min<DWORD>(call.allowed, rule[2 * r]);
            if (rule[2 * r + 1] & 0x80)
                call.status = FT_IO_ERROR;
        });
    }

    WidgetLink link;
    if (FT_Open(0, &link.handle) != FT_OK)
        abort();
    FT_SetTimeouts(link.handle, 0, 0); // a silent stream ends a call at once

    std::vector<unsigned char> dst(size_t(len) + Guard, Fill);
    // Take frames until the stream runs dry; every call must end.
    for (int call = 0; call < 64; ++call) {
        const std::vector<unsigned char> before = dst;
        const int ok = link.receivePacket(label, dst.data(), len);
        if (!ok && dst != before)
            abort(); // a failed receive wrote the caller's buffer
        for (int i = len; i < len + Guard; ++i)
            if (dst[size_t(i)] != Fill)
                abort(); // written past the length the caller gave
        if (!ok && widget.pendingBytes() == 0)
            break;
    }
    link.close();
    return 0;
}

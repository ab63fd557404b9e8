// The scan's item text from arbitrary device records: descriptions and
// serials that may fill their fields with no NUL; and device bytes read as
// text give back the very same bytes.
#include "bytetext.h"
#include "devicepanel.h"
#include "deviceinfo.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FT_DEVICE_LIST_INFO_NODE node;
    std::memset(&node, 0, sizeof node);
    const size_t serial = std::min(size, sizeof node.SerialNumber);
    std::memcpy(node.SerialNumber, data, serial);
    const size_t description = std::min(size - serial, sizeof node.Description);
    std::memcpy(node.Description, data + serial, description);

    const QString descriptionText = deviceDescription(node);
    const QString serialText = deviceSerialString(node);
    if (descriptionText.size() > int(sizeof node.Description) || serialText.size() > int(sizeof node.SerialNumber))
        abort();
    const QString item = deviceItemText(node);
    if (!item.contains(QLatin1String(" (SN: ")))
        abort();
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    if (bytesFromText(textFromBytes(bytes)) != bytes)
        abort();
    return 0;
}

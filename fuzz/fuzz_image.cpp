// The firmware image reader over arbitrary files: version line, header and
// every page payload.
#include "firmwareimage.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray contents(reinterpret_cast<const char *>(data), int(size));
    const FirmwareImage image(contents);

    // The version line ends at the first 0x0A wherever it is; a file
    // without one shows at most its header.
    const QString version = image.versionText();
    const int lineEnd = contents.indexOf('\n');
    if (version.size() > (lineEnd >= 0 ? lineEnd : 255) || version.contains(QChar('\n'))
        || version.contains(QChar('\0')) || version.toLatin1() != contents.left(version.size()))
        abort();
    const qint64 expectedImage = size > 255 ? qint64(size) - 255 : 0;
    if (image.imageSize() != expectedImage)
        abort();
    if (image.pageCount() * FirmwareImage::FlashPageSize + image.leftOverBytes() != image.imageSize())
        abort();

    for (int page = 0; page < image.pageCount(); ++page) {
        const QByteArray payload = image.pagePayload(page);
        if (payload.size() != FirmwareImage::FlashPageSize + 2 || uint8_t(payload[0]) != (page & 0xFF)
            || uint8_t(payload[1]) != ((page >> 8) & 0xFF)
            || std::memcmp(payload.constData() + 2, data + 255 + page * FirmwareImage::FlashPageSize,
                           FirmwareImage::FlashPageSize) != 0)
            abort();
    }
    return 0;
}

#include "firmwareimage.h"
#include "protocol.h"

static_assert(FirmwareImage::FlashPageSize == FLASH_PAGE_SIZE, "one page size");

FirmwareImage::FirmwareImage(const QByteArray &fileContents)
{
    int lineEnd = fileContents.indexOf('\n');
    if (lineEnd < 0)
        lineEnd = qMin(fileContents.size(), FIRMWARE_HEADER_SIZE);
    QByteArray line = fileContents.left(lineEnd);
    const int nul = line.indexOf('\0');
    if (nul >= 0)
        line.truncate(nul);
    m_versionText = QString::fromLatin1(line);
    m_image = fileContents.mid(FIRMWARE_HEADER_SIZE);
}

QByteArray FirmwareImage::pagePayload(int page) const
{
    QByteArray payload;
    payload.reserve(2 + FlashPageSize);
    payload.append(char(page & 0xFF));
    payload.append(char((page >> 8) & 0xFF));
    payload.append(m_image.constData() + qint64(page) * FlashPageSize, FlashPageSize);
    return payload;
}

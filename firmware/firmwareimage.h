#ifndef LUMORA_FIRMWAREIMAGE_H
#define LUMORA_FIRMWAREIMAGE_H

#include <QByteArray>
#include <QString>

// A firmware file: a version line inside a 255-byte header, then the image in
// 256-byte pages. Nothing in it is validated; bytes after the last whole page
// are not part of any page.
class FirmwareImage
{
public:
    explicit FirmwareImage(const QByteArray &fileContents);

    // The first line (up to the first 0x0A, and at most the header when there
    // is none), as Latin-1 up to the first 0x00.
    QString versionText() const { return m_versionText; }
    const QByteArray &image() const { return m_image; }
    qint64 imageSize() const { return m_image.size(); }
    qint64 pageCount() const { return m_image.size() / FlashPageSize; }
    int leftOverBytes() const { return int(m_image.size() % FlashPageSize); }
    // Page numbers travel as 16 bits; a larger image does not fit the format.
    bool fitsPageNumbers() const { return pageCount() <= 0xFFFF; }
    // The PROGRAM_FLASH_PAGE payload: page number low byte, high byte, the page.
    QByteArray pagePayload(int page) const;

    static constexpr int FlashPageSize = 256;

private:
    QString m_versionText;
    QByteArray m_image;
};

#endif

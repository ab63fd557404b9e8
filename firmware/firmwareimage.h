#ifndef LUMORA_FIRMWAREIMAGE_H
#define LUMORA_FIRMWAREIMAGE_H

#include <QByteArray>
#include <QString>

// A firmware file: a version line inside a 255-byte header, then the image in
// 256-byte pages. Nothing in it is validated; bytes after the last whole page
// are not part of any page. The file's bytes are held once, as read.
class FirmwareImage
{
public:
    FirmwareImage() = default;
    explicit FirmwareImage(const QByteArray &fileContents);

    // Reads the file at `path`. Only a regular file is read (a pipe or a
    // device could block for ever or never end), and only when its size fits
    // the format. Returns false with the reason in `error`, which names the
    // file `shownPath` when one is given.
    bool load(const QString &path, QString *error, const QString &shownPath = QString());

    // The first line (up to the first 0x0A, and at most the header when there
    // is none), as Latin-1 up to the first 0x00.
    QString versionText() const { return m_versionText; }
    qint64 imageSize() const { return qMax(0, m_contents.size() - HeaderSize); }
    qint64 pageCount() const { return imageSize() / FlashPageSize; }
    int leftOverBytes() const { return int(imageSize() % FlashPageSize); }
    // Page numbers travel as 16 bits; a larger image does not fit the format.
    bool fitsPageNumbers() const { return pageCount() <= MaxPages; }
    // The PROGRAM_FLASH_PAGE payload: page number low byte, high byte, the page.
    QByteArray pagePayload(int page) const;
    // The file as read, header and all.
    const QByteArray &fileContents() const { return m_contents; }

    static constexpr int HeaderSize = 255;
    static constexpr int FlashPageSize = 256;
    static constexpr qint64 MaxPages = 0xFFFF;
    // The largest file the format holds: header, every page, a short tail.
    static constexpr qint64 MaxFileSize = HeaderSize + MaxPages * FlashPageSize + FlashPageSize - 1;

private:
    QString m_versionText;
    QByteArray m_contents;
};

#endif

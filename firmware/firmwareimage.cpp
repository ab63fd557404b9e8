#include "firmwareimage.h"
#include "bytetext.h"
#include "protocol.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

static_assert(FirmwareImage::FlashPageSize == FLASH_PAGE_SIZE, "one page size");
static_assert(FirmwareImage::HeaderSize == FIRMWARE_HEADER_SIZE, "one header size");

FirmwareImage::FirmwareImage(const QByteArray &fileContents)
    : m_contents(fileContents)
{
    int lineEnd = m_contents.indexOf('\n');
    if (lineEnd < 0)
        lineEnd = qMin(m_contents.size(), HeaderSize);
    QByteArray line = m_contents.left(lineEnd);
    const int nul = line.indexOf('\0');
    if (nul >= 0)
        line.truncate(nul);
    m_versionText = QString::fromLatin1(line);
}

bool FirmwareImage::load(const QString &path, QString *error, const QString &shownPath)
{
    const QString name = shownPath.isEmpty() ? path : shownPath;
    const QString noSuchFile = QStringLiteral("cannot read %1: no such file").arg(name);
    const QString notRegular = QStringLiteral("%1 is not a regular file: a firmware image is a .bin file, not a"
                                              " directory, pipe or device")
                                   .arg(name);
    QFile file;
#ifdef Q_OS_LINUX
    // By the name's very bytes, and without waiting: a pipe must not hold
    // the open.
    const int fd = ::open(fileNameBytes(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int why = errno;
        *error = why == ENOENT ? noSuchFile
                               : QStringLiteral("cannot read %1: %2")
                                     .arg(name, QString::fromLocal8Bit(std::strerror(why)));
        return false;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        *error = notRegular;
        return false;
    }
    file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
#else
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile()) {
        *error = info.exists() ? notRegular : noSuchFile;
        return false;
    }
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(name, file.errorString());
        return false;
    }
#endif
    const QString tooLarge = QStringLiteral("%1 is too large for a firmware image (%2 bytes; at most %3 pages of"
                                            " 256 bytes follow the 255-byte header)")
                                 .arg(name).arg(file.size()).arg(MaxPages);
    if (file.size() > MaxFileSize) {
        *error = tooLarge;
        return false;
    }
    // Read no more than the format holds, whatever the size said.
    const QByteArray contents = file.read(MaxFileSize + 1);
    if (file.error() != QFileDevice::NoError) {
        *error = QStringLiteral("cannot read %1: %2").arg(name, file.errorString());
        return false;
    }
    if (contents.size() > MaxFileSize) {
        *error = tooLarge;
        return false;
    }
    *this = FirmwareImage(contents);
    return true;
}

QByteArray FirmwareImage::pagePayload(int page) const
{
    QByteArray payload;
    payload.reserve(2 + FlashPageSize);
    payload.append(char(page & 0xFF));
    payload.append(char((page >> 8) & 0xFF));
    payload.append(m_contents.constData() + HeaderSize + qint64(page) * FlashPageSize, FlashPageSize);
    return payload;
}

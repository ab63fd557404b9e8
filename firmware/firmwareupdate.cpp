#include "firmwareupdate.h"
#include "protocol.h"
#include "sleep.h"
#include "widgetlink.h"

#include <QDebug>

FirmwareUpdate::FirmwareUpdate(WidgetLink &link, const FirmwareImage &image, const QString &fileName)
    : m_link(link)
    , m_image(image)
    , m_fileName(fileName)
{
}

QString FirmwareUpdate::imageProblem(const FirmwareImage &image)
{
    if (image.fitsPageNumbers())
        return QString();
    return QStringLiteral("Firmware image too large: %1 pages, page numbers go up to 65535; update not started")
        .arg(image.pageCount());
}

bool FirmwareUpdate::sendPage(int page)
{
    const QByteArray payload = m_image.pagePayload(page);
    m_link.sendPacket(PROGRAM_FLASH_PAGE, reinterpret_cast<const unsigned char *>(payload.constData()),
                      payload.size());
    // A reply without a data byte leaves the status zeroed: a refused page.
    unsigned char status = 0;
    if (!m_link.receivePacket(PROGRAM_FLASH_PAGE, &status, 1))
        return false;
    return status == FLASH_PAGE_OK;
}

FirmwareUpdate::Outcome FirmwareUpdate::run()
{
    m_refused = 0;
    m_pageCount = 0;
    if (!m_link.handle) {
        m_error = QStringLiteral("No device open: firmware update not started");
        qDebug().noquote() << m_error;
        return Outcome::NoDevice;
    }
    m_error = imageProblem(m_image);
    if (!m_error.isEmpty()) {
        qDebug().noquote() << m_error;
        return Outcome::ImageTooLarge;
    }

    qDebug("Starting firmware update");
    qDebug() << m_fileName;
    qDebug("File size %d", int(m_image.imageSize()));
    if (m_image.leftOverBytes() > 0)
        qDebug("%d bytes after the last whole page are left out", m_image.leftOverBytes());

    m_link.sendPacket(REPROGRAM_FIRMWARE, nullptr, 0);
    lumora::sleepMs(LoaderWaitMs);

    m_pageCount = int(m_image.pageCount());
    if (onStarted)
        onStarted(m_pageCount);
    for (int page = 0; page < m_pageCount; ++page) {
        if (!sendPage(page)) {
            ++m_refused;
            qDebug() << "!";
        }
        if (onPageSent)
            onPageSent(page + 1, m_pageCount);
    }

    if (m_refused == 0) {
        m_error.clear();
        qDebug("Firmware update done");
        return Outcome::Done;
    }
    m_error = QStringLiteral("Firmware update failed: %1 of %2 pages refused").arg(m_refused).arg(m_pageCount);
    qDebug().noquote() << m_error;
    return Outcome::PagesRefused;
}

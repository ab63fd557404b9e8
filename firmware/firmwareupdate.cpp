#include "firmwareupdate.h"
#include "protocol.h"
#include "sleep.h"
#include "widgetlink.h"

#include <QDebug>
#include <QStringList>

Q_LOGGING_CATEGORY(lcUpdate, "lumora.update")

FirmwareUpdate::FirmwareUpdate(WidgetLink &link, const FirmwareImage &image, const QString &fileName)
    : m_link(link)
    , m_image(image)
    , m_fileName(fileName)
{
}

QString FirmwareUpdate::imageProblem(const FirmwareImage &image, const QString &fileName)
{
    if (image.pageCount() == 0)
        return QStringLiteral("%1 holds no whole page after its 255-byte header (%2 bytes of image): nothing to"
                              " load; firmware update not started")
            .arg(fileName).arg(image.imageSize());
    if (!image.fitsPageNumbers())
        return QStringLiteral("Firmware image too large: %1 pages, page numbers go up to 65535; update not started")
            .arg(image.pageCount());
    return QString();
}

FirmwareUpdate::Outcome FirmwareUpdate::fail(Outcome outcome, const QString &error)
{
    m_error = error;
    qCWarning(lcUpdate).noquote() << m_error;
    return outcome;
}

FirmwareUpdate::Outcome FirmwareUpdate::run()
{
    m_refused.clear();
    m_pageCount = 0;
    m_pagesSent = 0;
    m_loaderEntered = false;
    m_error.clear();
    if (!m_link.isOpen())
        return fail(Outcome::NoDevice, QStringLiteral("No device open: firmware update not started"));
    const QString problem = imageProblem(m_image, m_fileName);
    if (!problem.isEmpty())
        return fail(Outcome::ImageRefused, problem);

    m_pageCount = int(m_image.pageCount());
    // Asked first: "Starting firmware update" means that the loader request
    // goes out.
    const std::function<bool()> &stopNow = stopBeforeStart ? stopBeforeStart : stopRequested;
    if (stopNow && stopNow())
        return fail(Outcome::NotStarted,
                    QStringLiteral("stopped before the update: nothing was sent; the widget is unchanged"));
    qCDebug(lcUpdate, "Starting firmware update");
    qCDebug(lcUpdate) << m_fileName;
    qCDebug(lcUpdate, "File size %d", int(m_image.imageSize()));
    if (m_image.leftOverBytes() > 0)
        qCDebug(lcUpdate, "%d bytes after the last whole page are left out", m_image.leftOverBytes());

    const QString leftInLoader = QStringLiteral("the widget is left in its loader; run the update again");
    // Whatever the widget sent before is no answer to anything of ours.
    m_link.purgeReceived();
    m_loaderEntered = true;
    if (!m_link.sendPacket(REPROGRAM_FIRMWARE, nullptr, 0) && m_link.ioStatus() != FT_OK)
        return fail(Outcome::DeviceLost, QStringLiteral("Firmware update failed before the first page: %1")
                                             .arg(m_link.errorString()));
    // The loader wants its time; a stop during it is heard at once.
    if (!lumora::sleepUnless(LoaderWaitMs, stopRequested))
        return fail(Outcome::Interrupted, QStringLiteral("Firmware update interrupted before page 1 of %1: %2")
                                              .arg(m_pageCount).arg(leftInLoader));

    if (onStarted)
        onStarted(m_pageCount);
    int unanswered = 0;
    int silentInARow = 0;
    for (int page = 0; page < m_pageCount; ++page) {
        if (stopRequested && stopRequested())
            return fail(Outcome::Interrupted, QStringLiteral("Firmware update interrupted before page %1 of %2: %3")
                                                  .arg(page + 1).arg(m_pageCount).arg(leftInLoader));
        const QByteArray payload = m_image.pagePayload(page);
        m_link.sendPacket(PROGRAM_FLASH_PAGE, reinterpret_cast<const unsigned char *>(payload.constData()),
                          payload.size());
        // A reply without a data byte leaves the status zeroed: a refused page.
        unsigned char status = 0;
        const bool answered = m_link.ioStatus() == FT_OK && m_link.receivePacket(PROGRAM_FLASH_PAGE, &status, 1);
        if (!answered && m_link.ioStatus() != FT_OK) {
            qCDebug(lcUpdate) << "!";
            return fail(Outcome::DeviceLost, QStringLiteral("Firmware update failed at page %1 of %2: %3; %4")
                                                 .arg(page + 1).arg(m_pageCount)
                                                 .arg(m_link.errorString(), leftInLoader));
        }
        silentInARow = answered ? 0 : silentInARow + 1;
        if (!answered) {
            ++unanswered;
            m_link.discardLateReplies();
        }
        if (!answered || status != FLASH_PAGE_OK) {
            m_refused.append(page);
            qCDebug(lcUpdate) << "!";
        }
        m_pagesSent = page + 1;
        if (onPageSent)
            onPageSent(m_pagesSent, m_pageCount);
        // A widget that has stopped answering would cost a read time-out for
        // every page still to come.
        if (silentInARow == SilentPagesLimit) {
            fail(Outcome::StoppedAnswering, QStringLiteral("Widget stopped answering at page %1 of %2: update aborted")
                                                .arg(page + 2 - SilentPagesLimit).arg(m_pageCount));
            qCWarning(lcUpdate, "Check the cable and the widget's power, then run the update again");
            return Outcome::StoppedAnswering;
        }
    }

    if (m_refused.isEmpty()) {
        qCDebug(lcUpdate, "Firmware update done");
        return Outcome::Done;
    }
    // The first few of them, counted from 1 like every page in a message.
    constexpr int Named = 5;
    QStringList named;
    for (int i = 0; i < qMin(Named, int(m_refused.size())); ++i)
        named << QString::number(m_refused[i] + 1);
    QString which = named.join(QStringLiteral(", "));
    if (m_refused.size() > Named)
        which += QStringLiteral(" and %1 more").arg(m_refused.size() - Named);
    fail(Outcome::PagesRefused, QStringLiteral("Firmware update failed: %1 of %2 pages refused (pages %3)")
                                    .arg(m_refused.size()).arg(m_pageCount).arg(which));
    if (unanswered > 0)
        qCWarning(lcUpdate, "%d of them got no reply in time: check the cable and the widget's power", unanswered);
    qCWarning(lcUpdate, "The widget holds an incomplete image: run the update again");
    return Outcome::PagesRefused;
}

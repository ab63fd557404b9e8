#ifndef LUMORA_FIRMWAREUPDATE_H
#define LUMORA_FIRMWAREUPDATE_H

#include "firmwareimage.h"

#include <QLoggingCategory>
#include <QString>
#include <QVector>

#include <functional>

class WidgetLink;

// The update's own messages: its start, every refused page, its end.
Q_DECLARE_LOGGING_CATEGORY(lcUpdate)

// Loads an image into the widget on `link`: the loader request, a 2 s wait,
// then every whole page in order, each answered by the widget. A refused page
// is logged with "!" and the next one follows; a widget that is gone ends the
// update at once. The end line says whether every page was accepted. Front
// ends ask and confirm; this does the work.
class FirmwareUpdate
{
public:
    enum class Outcome { Done, PagesRefused, StoppedAnswering, DeviceLost, Interrupted, NotStarted, NoDevice, ImageRefused };

    FirmwareUpdate(WidgetLink &link, const FirmwareImage &image, const QString &fileName);

    // Called once the widget is in its loader, before the first page.
    std::function<void(int pageCount)> onStarted;
    // Called after each page with the number of pages sent so far.
    std::function<void(int pagesSent, int pageCount)> onPageSent;
    // Asked before each page; true stops the update there (the page in
    // flight has been answered by then).
    std::function<bool()> stopRequested;
    // Asked just before the loader request; true ends the update with
    // nothing sent, so that a widget is never put into its loader for an
    // update that will not go on. Without it, stopRequested is asked.
    std::function<bool()> stopBeforeStart;

    Outcome run();

    int pageCount() const { return m_pageCount; }
    int pagesSent() const { return m_pagesSent; }
    // The loader request went out: the widget waits in its loader until it
    // has been given a whole image.
    bool loaderEntered() const { return m_loaderEntered; }
    // Pages the widget did not accept: refused, or not answered in time.
    int refusedPages() const { return int(m_refused.size()); }
    QString errorString() const { return m_error; }

    // Why the image cannot be loaded at all (no whole page, or more pages than
    // page numbers can count), or empty when it can; run() refuses such an
    // image before it sends anything.
    static QString imageProblem(const FirmwareImage &image, const QString &fileName);

    static constexpr int LoaderWaitMs = 2000;
    // Pages in a row without any reply after which the widget is taken to
    // have stopped answering and the update ends.
    static constexpr int SilentPagesLimit = 8;

private:
    Outcome fail(Outcome outcome, const QString &error);

    WidgetLink &m_link;
    const FirmwareImage &m_image;
    QString m_fileName;
    int m_pageCount = 0;
    int m_pagesSent = 0;
    bool m_loaderEntered = false;
    QVector<int> m_refused; // page numbers, counted from 0
    QString m_error;
};

#endif

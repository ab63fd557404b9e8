#ifndef LUMORA_FIRMWAREUPDATE_H
#define LUMORA_FIRMWAREUPDATE_H

#include "firmwareimage.h"

#include <QString>

#include <functional>

class WidgetLink;

// Loads an image into the widget on `link`: the loader request, a 2 s wait,
// then every whole page in order, each answered by the widget. A refused page
// is logged with "!" and the next one follows; the end line says whether
// every page was accepted. Front ends ask and confirm; this does the work.
class FirmwareUpdate
{
public:
    enum class Outcome { Done, PagesRefused, NoDevice, ImageTooLarge };

    FirmwareUpdate(WidgetLink &link, const FirmwareImage &image, const QString &fileName);

    // Called once the widget is in its loader, before the first page.
    std::function<void(int pageCount)> onStarted;
    // Called after each page with the number of pages sent so far.
    std::function<void(int pagesSent, int pageCount)> onPageSent;

    Outcome run();

    int pageCount() const { return m_pageCount; }
    int refusedPages() const { return m_refused; }
    QString errorString() const { return m_error; }

    // Why the image cannot be loaded at all, or empty when it can; run()
    // refuses such an image before it sends anything.
    static QString imageProblem(const FirmwareImage &image);

    static constexpr int LoaderWaitMs = 2000;

private:
    bool sendPage(int page);

    WidgetLink &m_link;
    const FirmwareImage &m_image;
    QString m_fileName;
    int m_pageCount = 0;
    int m_refused = 0;
    QString m_error;
};

#endif

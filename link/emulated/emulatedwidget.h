// One emulated widget as its firmware behaves: frames from the host in,
// replies out (each ready after the reply latency), the pages it accepted.
// The emulated D2XX bus carries its bytes for trying the program without
// hardware; the tests' emulated USB chip carries the same widget behind the
// real libusb and libftdi1. Tests shape its behaviour through the knobs
// below (silent labels, scripted replies, garbage, foreign frames, refused
// pages, silence or trickling from a page on, unplugging).
//
// In its loader a widget takes firmware pages and answers nothing else; a
// second loader request leaves it there. It leaves the loader for its
// firmware when the host lets go of it after a finished update: the widget
// cannot know the image's size, so an update counts as finished when it
// accepted at least one page since it entered the loader and every page it
// was sent since (none refused, none left unanswered). Nothing sent, a
// refused page or an update cut off keeps it in its loader, across a replug
// too: its image is incomplete. Leaving the loader it restarts into the new
// firmware, which reports the version `firmwareAfterUpdate` gives.
#ifndef LUMORA_EMULATEDWIDGET_H
#define LUMORA_EMULATEDWIDGET_H

#include <QByteArray>
#include <QMap>
#include <QVector>

#include <chrono>
#include <deque>
#include <optional>
#include <set>
#include <utility>

namespace lumora {

struct EmulatedWidgetInfo
{
    QByteArray description;
    QByteArray serialString;
    quint32 serialNumber = 0;
    quint8 firmwareLsb = 0;
    quint8 firmwareMsb = 0;
    quint8 breakTime = 9;
    quint8 mabTime = 1;
    quint8 refreshRate = 40;

    // The kind a fresh bus holds: "Lumora USB DMX", serial string EM000001
    // and up, serial number 0x201000 and up, firmware 1.44.
    static EmulatedWidgetInfo standard(int index);
};

class EmulatedWidget
{
public:
    using Clock = std::chrono::steady_clock;

    explicit EmulatedWidget(EmulatedWidgetInfo info);

    EmulatedWidgetInfo info;

    // --- behaviour -------------------------------------------------------
    int replyLatencyMs = 0;                 // delay before each reply arrives
    void setAutoReply(int label, bool answer); // false: stay silent to label
    // The next reply to `label` is these raw bytes instead of the real frame
    // (queued: one scripted reply per request).
    void scriptReply(int label, const QByteArray &rawBytes);
    void setGarbageReplies(bool on);        // every reply replaced by noise
    void setForeignFramesBeforeReply(int count); // foreign frames ahead of each reply
    void injectBytes(const QByteArray &rawBytes); // into the stream to the host, now
    void setEndlessForeignFrames(bool on);  // babbles foreign frames without pause
    void refusePage(int pageIndex);         // answer that page with 'F'
    void unplugAfterWrites(int writes);     // pulled out after that many more writes
    void unplugAtPage(int pageIndex);       // pulled out when that page arrives
    void silentFromPage(int pageIndex);     // no reply to that page or any after it
    // From that page on: no replies, only a noise byte every millisecond that
    // never makes a frame.
    void trickleFromPage(int pageIndex);
    // Answers nothing at all, pages included (a page goes untaken), as a
    // widget whose firmware hangs.
    void silence() { m_silent = true; }
    void unplug();
    void replug();                          // back in its loader if it was in it
    void enterLoader();                     // where a loader request takes it
    // The version (high, low) the widget reports once it has restarted after
    // a finished update; none: the update did not take, it reports what it
    // did before.
    std::optional<std::pair<quint8, quint8>> firmwareAfterUpdate{{quint8(2), quint8(10)}};
    bool silentAfterRestart = false;        // answers nothing once restarted
    // Restarting, it leaves the bus and comes back on its port as a new
    // device; the bus that carries it does that.
    bool reenumeratesOnRestart = false;

    // The host let go of the widget: its handle closed, its interface
    // released. Leaves the loader after a finished update, restarting into
    // the new firmware; true when it did.
    bool hostClosed();

    // --- the host side, as the widget's USB chip carries it ---------------
    // One write from the host; the widget parses the frames in it.
    void receive(const unsigned char *data, int count);
    // Bytes for the host that are ready at `now`, at most `max` (a widget
    // that babbles tops its stream up first).
    int readyBytes(Clock::time_point now, int max);
    // Takes `count` ready bytes off the stream.
    void take(unsigned char *buffer, int count);
    // When the next byte not yet ready becomes ready; max() when none waits.
    Clock::time_point nextReadyAt() const;
    void dropPending();                     // what a purge of the chip drops
    int pendingBytes() const { return int(m_toHost.size()); }

    // --- observation -----------------------------------------------------
    bool plugged() const { return m_plugged; }
    // Changes at every unplug: a handle or claim from before is stale.
    int generation() const { return m_generation; }
    // New at every plug (construction and replug), never the same for two
    // widgets of the process: where the widget sits until it is pulled out.
    quint32 attachment() const { return m_attachment; }
    // The port the widget is plugged into, kept when it is pulled out and
    // plugged in again; set by the bus that carries it.
    quint16 port = 0;
    // Its LocId, laid out as on USB (0xBBPPPPAA: bus 1, the port, an address
    // new at every plug): the same port part when it comes back, restarted
    // or replugged, a new address.
    quint32 location() const { return 0x01000000u | (quint32(port) << 8) | (m_attachment & 0xFF); }
    int openHandles = 0;                    // kept by whatever transport opens it
    bool isOpen() const { return openHandles > 0; }
    bool inLoader() const { return m_inLoader; }
    const QByteArray &wire() const { return m_wire; }   // every byte received
    const QVector<int> &writeSizes() const { return m_writeSizes; }
    const QMap<int, QByteArray> &acceptedPages() const { return m_pages; }
    QByteArray flashedImage() const;        // accepted pages in index order
    // Writes the flashed image to the file `pattern` names, a %s in it
    // standing for the very bytes of the serial string; false when it cannot.
    bool writeFlash(const QByteArray &pattern) const;
    int framesReceived(int label) const { return m_framesByLabel.value(label); }
    void clearWire();

    static QByteArray frame(int label, const QByteArray &payload);

private:
    struct PendingByte { unsigned char value; Clock::time_point readyAt; };

    void frameArrived(int label, const QByteArray &payload);
    void reply(int label, const QByteArray &payload);
    void queue(const QByteArray &bytes, Clock::time_point readyAt);

    static quint32 nextAttachment();

    bool m_plugged = true;
    int m_generation = 0;
    quint32 m_attachment;
    bool m_inLoader = false;
    // The pages of the update under way since the widget entered its loader.
    enum class LoaderRun { NoPage, AllAccepted, Broken } m_loaderRun = LoaderRun::NoPage;
    QMap<int, bool> m_silentLabels;
    QMap<int, QVector<QByteArray>> m_scripted;
    bool m_garbage = false;
    int m_foreignBeforeReply = 0;
    bool m_endlessForeign = false;
    std::set<int> m_refusedPages;
    int m_unplugAfterWrites = -1;
    int m_unplugAtPage = -1;
    int m_silentFromPage = -1;
    int m_trickleFromPage = -1;
    bool m_trickling = false;
    bool m_silent = false;
    quint32 m_noise = 0x2545F491u;

    std::deque<PendingByte> m_toHost;
    QByteArray m_wire;
    QVector<int> m_writeSizes;
    QMap<int, QByteArray> m_pages;
    QMap<int, int> m_framesByLabel;

    // host-to-widget frame parser
    enum class ParseState { Start, Label, LenLo, LenHi, Payload, End } m_state = ParseState::Start;
    int m_label = 0;
    int m_length = 0;
    QByteArray m_payload;
};

} // namespace lumora

#endif

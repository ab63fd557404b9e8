#include "emulatedwidget.h"
#include "protocol.h"

#include <QFile>

#include <algorithm>
#include <atomic>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace lumora {

namespace {
constexpr int ForeignLabel = 0x55;
constexpr int MaxHostPayload = 1024;
}

EmulatedWidgetInfo EmulatedWidgetInfo::standard(int index)
{
    EmulatedWidgetInfo info;
    info.description = "Lumora USB DMX";
    info.serialString = QByteArray("EM") + QByteArray::number(index + 1).rightJustified(6, '0');
    info.serialNumber = 0x00201000u + quint32(index);
    info.firmwareLsb = 44;
    info.firmwareMsb = 1;
    return info;
}

EmulatedWidget::EmulatedWidget(EmulatedWidgetInfo widgetInfo)
    : info(std::move(widgetInfo))
    , m_attachment(nextAttachment())
{
}

quint32 EmulatedWidget::nextAttachment()
{
    static std::atomic<quint32> next{1};
    return next++;
}

void EmulatedWidget::setAutoReply(int label, bool answer) { m_silentLabels[label] = !answer; }
void EmulatedWidget::scriptReply(int label, const QByteArray &rawBytes) { m_scripted[label].append(rawBytes); }
void EmulatedWidget::setGarbageReplies(bool on) { m_garbage = on; }
void EmulatedWidget::setForeignFramesBeforeReply(int count) { m_foreignBeforeReply = count; }
void EmulatedWidget::setEndlessForeignFrames(bool on) { m_endlessForeign = on; }
void EmulatedWidget::refusePage(int pageIndex) { m_refusedPages.insert(pageIndex); }
void EmulatedWidget::unplugAfterWrites(int writes) { m_unplugAfterWrites = m_writeSizes.size() + writes; }
void EmulatedWidget::unplugAtPage(int pageIndex) { m_unplugAtPage = pageIndex; }
void EmulatedWidget::silentFromPage(int pageIndex) { m_silentFromPage = pageIndex; }
void EmulatedWidget::trickleFromPage(int pageIndex) { m_trickleFromPage = pageIndex; }

void EmulatedWidget::injectBytes(const QByteArray &rawBytes)
{
    queue(rawBytes, Clock::now());
}

void EmulatedWidget::unplug()
{
    if (!m_plugged)
        return;
    m_plugged = false;
    ++m_generation;
    openHandles = 0;
    m_toHost.clear();
    m_state = ParseState::Start;
}

void EmulatedWidget::replug()
{
    if (m_plugged)
        return;
    m_plugged = true;
    m_attachment = nextAttachment();
    m_loaderRun = LoaderRun::NoPage;
    m_unplugAfterWrites = -1;
    m_unplugAtPage = -1;
    m_trickling = false;
}

void EmulatedWidget::enterLoader()
{
    m_inLoader = true;
    m_loaderRun = LoaderRun::NoPage;
}

bool EmulatedWidget::hostClosed()
{
    if (!m_plugged || !m_inLoader || m_loaderRun != LoaderRun::AllAccepted)
        return false;
    // It restarts into its firmware; what the loader had under way is gone.
    m_inLoader = false;
    m_trickling = false;
    m_toHost.clear();
    m_state = ParseState::Start;
    if (firmwareAfterUpdate) {
        info.firmwareMsb = firmwareAfterUpdate->first;
        info.firmwareLsb = firmwareAfterUpdate->second;
    }
    if (silentAfterRestart) {
        setAutoReply(GET_WIDGET_PARAMS, false);
        setAutoReply(GET_WIDGET_SERIAL, false);
    }
    return true;
}

QByteArray EmulatedWidget::flashedImage() const
{
    QByteArray image;
    for (auto it = m_pages.cbegin(); it != m_pages.cend(); ++it)
        image += it.value();
    return image;
}

bool EmulatedWidget::writeFlash(const QByteArray &pattern) const
{
    const QByteArray path = QByteArray(pattern).replace("%s", info.serialString);
    QFile file;
#ifdef Q_OS_UNIX
    // A file name is bytes here: the serial string's, whatever they are.
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle);
#else
    file.setFileName(QFile::decodeName(path));
    if (!file.open(QIODevice::WriteOnly))
        return false;
#endif
    const QByteArray image = flashedImage();
    return file.write(image) == image.size();
}

void EmulatedWidget::clearWire()
{
    m_wire.clear();
    m_writeSizes.clear();
}

QByteArray EmulatedWidget::frame(int label, const QByteArray &payload)
{
    QByteArray bytes;
    bytes.reserve(payload.size() + 5);
    bytes.append(char(PACKET_START));
    bytes.append(char(label));
    bytes.append(char(payload.size() & 0xFF));
    bytes.append(char((payload.size() >> 8) & 0xFF));
    bytes.append(payload);
    bytes.append(char(PACKET_END));
    return bytes;
}

void EmulatedWidget::queue(const QByteArray &bytes, Clock::time_point readyAt)
{
    for (char c : bytes)
        m_toHost.push_back({static_cast<unsigned char>(c), readyAt});
}

int EmulatedWidget::readyBytes(Clock::time_point now, int max)
{
    if (m_endlessForeign && int(m_toHost.size()) < max + 16)
        queue(frame(ForeignLabel, QByteArray(max + 8, char(0x11))), now);
    if (m_trickling && m_toHost.empty())
        queue(QByteArray(1, char(0x11)), now + std::chrono::milliseconds(1));
    int ready = 0;
    for (const PendingByte &b : m_toHost) {
        if (ready >= max || b.readyAt > now)
            break;
        ++ready;
    }
    return ready;
}

void EmulatedWidget::take(unsigned char *buffer, int count)
{
    for (int i = 0; i < count && !m_toHost.empty(); ++i) {
        buffer[i] = m_toHost.front().value;
        m_toHost.pop_front();
    }
}

EmulatedWidget::Clock::time_point EmulatedWidget::nextReadyAt() const
{
    const auto now = Clock::now();
    for (const PendingByte &b : m_toHost)
        if (b.readyAt > now)
            return b.readyAt;
    return Clock::time_point::max();
}

void EmulatedWidget::dropPending()
{
    m_toHost.clear();
}

void EmulatedWidget::reply(int label, const QByteArray &payload)
{
    if (m_silent || m_silentLabels.value(label, false))
        return;
    QByteArray bytes = frame(label, payload);
    QVector<QByteArray> &scripted = m_scripted[label];
    if (!scripted.isEmpty())
        bytes = scripted.takeFirst();
    if (m_garbage) {
        for (char &c : bytes) {
            // xorshift noise that never forms a start byte, so garbage is
            // never mistaken for a frame
            m_noise ^= m_noise << 13;
            m_noise ^= m_noise >> 17;
            m_noise ^= m_noise << 5;
            c = char(m_noise & 0xFF);
            if (static_cast<unsigned char>(c) == PACKET_START)
                c = char(0x7F);
        }
    }
    QByteArray ahead;
    for (int i = 0; i < m_foreignBeforeReply; ++i)
        ahead += frame(ForeignLabel, QByteArray(8, char(i & 0x7F)));
    queue(ahead + bytes, Clock::now() + std::chrono::milliseconds(replyLatencyMs));
}

void EmulatedWidget::frameArrived(int label, const QByteArray &payload)
{
    m_framesByLabel[label] += 1;
    switch (label) {
    case GET_WIDGET_PARAMS: {
        if (m_inLoader)
            break;
        QByteArray params;
        params.append(char(info.firmwareLsb));
        params.append(char(info.firmwareMsb));
        params.append(char(info.breakTime));
        params.append(char(info.mabTime));
        params.append(char(info.refreshRate));
        reply(label, params);
        break;
    }
    case GET_WIDGET_SERIAL: {
        if (m_inLoader)
            break;
        QByteArray serial(4, 0);
        for (int i = 0; i < 4; ++i)
            serial[i] = char((info.serialNumber >> (8 * i)) & 0xFF);
        reply(label, serial);
        break;
    }
    case REPROGRAM_FIRMWARE:
        if (!m_inLoader)
            m_pages.clear();
        enterLoader();
        break;
    case PROGRAM_FLASH_PAGE: {
        if (!m_inLoader)
            break;
        if (payload.size() < 2) {
            m_loaderRun = LoaderRun::Broken;
            reply(label, QByteArray(1, 'F'));
            break;
        }
        const int page = static_cast<unsigned char>(payload[0]) | (static_cast<unsigned char>(payload[1]) << 8);
        if (page == m_unplugAtPage) {
            unplug();
            break;
        }
        m_trickling = m_trickling || (m_trickleFromPage >= 0 && page >= m_trickleFromPage);
        const bool accept = payload.size() == 2 + FLASH_PAGE_SIZE && !m_refusedPages.count(page);
        const bool silent = m_silent || m_trickling || (m_silentFromPage >= 0 && page >= m_silentFromPage);
        if (!accept || silent)
            m_loaderRun = LoaderRun::Broken;
        else if (m_loaderRun == LoaderRun::NoPage)
            m_loaderRun = LoaderRun::AllAccepted;
        if (silent)
            break;
        if (accept)
            m_pages.insert(page, payload.mid(2));
        reply(label, QByteArray(1, accept ? char(FLASH_PAGE_OK) : 'F'));
        break;
    }
    default:
        break;
    }
}

void EmulatedWidget::receive(const unsigned char *data, int count)
{
    if (!m_plugged)
        return;
    m_wire.append(reinterpret_cast<const char *>(data), count);
    m_writeSizes.append(count);
    for (int i = 0; i < count && m_plugged; ++i) {
        const unsigned char b = data[i];
        switch (m_state) {
        case ParseState::Start:
            if (b == PACKET_START)
                m_state = ParseState::Label;
            break;
        case ParseState::Label:
            m_label = b;
            m_state = ParseState::LenLo;
            break;
        case ParseState::LenLo:
            m_length = b;
            m_state = ParseState::LenHi;
            break;
        case ParseState::LenHi:
            m_length |= b << 8;
            m_payload.clear();
            if (m_length > MaxHostPayload)
                m_state = ParseState::Start;
            else
                m_state = m_length ? ParseState::Payload : ParseState::End;
            break;
        case ParseState::Payload:
            m_payload.append(char(b));
            if (m_payload.size() == m_length)
                m_state = ParseState::End;
            break;
        case ParseState::End:
            m_state = ParseState::Start;
            if (b == PACKET_END)
                frameArrived(m_label, m_payload);
            break;
        }
    }
    if (m_unplugAfterWrites >= 0 && m_writeSizes.size() >= m_unplugAfterWrites)
        unplug();
}

} // namespace lumora

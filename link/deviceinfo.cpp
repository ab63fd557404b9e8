#include "deviceinfo.h"
#include "d2xxbackend.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

// The length of the well-formed UTF-8 sequence at `p` (of `left` bytes),
// with its code point in `code`; 0 when the bytes there are not one.
int sequenceAt(const unsigned char *p, int left, uint *code)
{
    const unsigned char lead = p[0];
    if (lead < 0x80)
        return *code = lead, 1;
    int length;
    uint least;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2, least = 0x80, *code = lead & 0x1F;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3, least = 0x800, *code = lead & 0x0F;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4, least = 0x10000, *code = lead & 0x07;
    else
        return 0;
    if (left < length)
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        *code = (*code << 6) | (p[i] & 0x3F);
    }
    const bool surrogate = *code >= 0xD800 && *code <= 0xDFFF;
    return *code < least || *code > 0x10FFFF || surrogate ? 0 : length;
}

} // namespace

QString deviceText(const QByteArray &bytes)
{
    QString text;
    text.reserve(bytes.size());
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
    for (int i = 0; i < bytes.size();) {
        uint code = 0;
        int length = sequenceAt(p + i, bytes.size() - i, &code);
        if (length == 0) {
            text += QChar(ushort(0xDC00 + p[i]));
            length = 1;
        } else if (QChar::requiresSurrogates(code)) {
            text += QChar(QChar::highSurrogate(code));
            text += QChar(QChar::lowSurrogate(code));
        } else {
            text += QChar(ushort(code));
        }
        i += length;
    }
    return text;
}

QByteArray deviceBytes(const QString &text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        uint code = text[i].unicode();
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            code = QChar::surrogateToUcs4(text[i], text[i + 1]);
            ++i;
        } else if (code >= 0xDC80 && code <= 0xDCFF) {
            bytes += char(code - 0xDC00);
            continue;
        }
        // A lone surrogate of any other value keeps its three-byte form.
        if (code < 0x80) {
            bytes += char(code);
        } else if (code < 0x800) {
            bytes += char(0xC0 | (code >> 6));
            bytes += char(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            bytes += char(0xE0 | (code >> 12));
            bytes += char(0x80 | ((code >> 6) & 0x3F));
            bytes += char(0x80 | (code & 0x3F));
        } else {
            bytes += char(0xF0 | (code >> 18));
            bytes += char(0x80 | ((code >> 12) & 0x3F));
            bytes += char(0x80 | ((code >> 6) & 0x3F));
            bytes += char(0x80 | (code & 0x3F));
        }
    }
    return bytes;
}

int wholeCharacters(const QByteArray &bytes, int limit)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
    int whole = 0;
    while (whole < bytes.size()) {
        uint code = 0;
        const int length = qMax(sequenceAt(p + whole, bytes.size() - whole, &code), 1);
        if (whole + length > limit)
            break;
        whole += length;
    }
    return whole;
}

QString deviceInfoField(const char *field, int width)
{
    const void *nul = std::memchr(field, 0, size_t(width));
    const int length = nul ? int(static_cast<const char *>(nul) - field) : width;
    return deviceText(QByteArray(field, length));
}

QString deviceDescription(const FT_DEVICE_LIST_INFO_NODE &node)
{
    return deviceInfoField(node.Description, int(sizeof node.Description));
}

QString deviceSerialString(const FT_DEVICE_LIST_INFO_NODE &node)
{
    return deviceInfoField(node.SerialNumber, int(sizeof node.SerialNumber));
}

QVector<FT_DEVICE_LIST_INFO_NODE> readDeviceInfoList(DWORD count)
{
    QVector<FT_DEVICE_LIST_INFO_NODE> list;
    if (count == 0)
        return list;
    std::unique_ptr<FT_DEVICE_LIST_INFO_NODE[]> buffer(new (std::nothrow) FT_DEVICE_LIST_INFO_NODE[count]);
    if (!buffer)
        return list;
    const DWORD capacity = count;
    if (FT_GetDeviceInfoList(buffer.get(), &count) != FT_OK)
        return list;
    for (DWORD i = 0; i < count && i < capacity; ++i)
        list.append(buffer[i]);
    return list;
}

namespace {

QString unreadableNote(int unreadable, int listed, const std::string &reason)
{
    if (unreadable == 0)
        return QString();
    return QStringLiteral("%1 of %2 devices could not be asked for their description and serial number: %3")
        .arg(unreadable).arg(listed)
        .arg(reason.empty() ? QStringLiteral("no permission to use them? Install the udev rule or join the plugdev"
                                             " group (see the README), then plug them in again")
                            : QString::fromStdString(reason));
}

} // namespace

QString unreadableDevicesNote(const QVector<FT_DEVICE_LIST_INFO_NODE> &devices)
{
    int unreadable = 0;
    for (const FT_DEVICE_LIST_INFO_NODE &node : devices)
        unreadable += node.SerialNumber[0] == 0 && node.Description[0] == 0;
    return unreadableNote(unreadable, devices.size(),
                          unreadable ? lumora::d2xxBackend().errorText(nullptr) : std::string());
}

QString unreadableDevicesNote(const lumora::DeviceList &devices)
{
    int unreadable = 0;
    for (const lumora::DeviceEntry &entry : devices.entries)
        unreadable += !entry.stringsRead;
    return unreadableNote(unreadable, devices.entries.size(), devices.why);
}

QString emulationNote()
{
    if (std::strcmp(lumora::d2xxBackend().name(), "emulated") != 0)
        return QString();
    return QStringLiteral("emulated widgets (LUMORA_EMULATOR=%1): no real widget is touched")
        .arg(QString::fromLocal8Bit(qgetenv("LUMORA_EMULATOR")));
}

lumora::DeviceList attachedDevices()
{
    return lumora::d2xxBackend().listDevices();
}

bool waitForDeviceChange(const lumora::DeviceList &since, int timeoutMs)
{
    return lumora::d2xxBackend().waitForDeviceChange(since, timeoutMs);
}

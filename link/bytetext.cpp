#include "bytetext.h"

#include <QFile>

namespace {

constexpr ushort EscapeBase = 0xDC00;

// The length of the valid UTF-8 sequence at `p` (at most `left` bytes), and
// its code point; 0 when the bytes there are no valid sequence (overlong
// forms, encoded surrogates and code points past U+10FFFF included).
int validSequence(const unsigned char *p, int left, uint *codePoint)
{
    const unsigned char lead = p[0];
    int length;
    uint min;
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, min = 0x80, *codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, min = 0x800, *codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, min = 0x10000, *codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (left < length)
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        *codePoint = (*codePoint << 6) | (p[i] & 0x3F);
    }
    if (*codePoint < min || *codePoint > 0x10FFFF || (*codePoint >= 0xD800 && *codePoint <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

QString textFromBytes(const QByteArray &bytes)
{
    QString text;
    text.reserve(bytes.size());
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
    const int size = bytes.size();
    for (int i = 0; i < size;) {
        uint codePoint = 0;
        const int length = validSequence(p + i, size - i, &codePoint);
        if (length == 0) {
            text += QChar(ushort(EscapeBase + p[i]));
            ++i;
            continue;
        }
        if (QChar::requiresSurrogates(codePoint)) {
            text += QChar(QChar::highSurrogate(codePoint));
            text += QChar(QChar::lowSurrogate(codePoint));
        } else {
            text += QChar(ushort(codePoint));
        }
        i += length;
    }
    return text;
}

int wholeCharacters(const QByteArray &bytes, int limit)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
    int whole = 0;
    while (whole < bytes.size()) {
        uint codePoint = 0;
        const int length = qMax(validSequence(p + whole, bytes.size() - whole, &codePoint), 1);
        if (whole + length > limit)
            break;
        whole += length;
    }
    return whole;
}

bool isEscapedByte(QChar c, unsigned char *byte)
{
    const ushort u = c.unicode();
    if (u < EscapeBase + 0x80 || u > EscapeBase + 0xFF)
        return false;
    if (byte)
        *byte = static_cast<unsigned char>(u - EscapeBase);
    return true;
}

QByteArray bytesFromText(const QString &text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        unsigned char escaped = 0;
        if (isEscapedByte(text[i], &escaped)) {
            bytes += char(escaped);
            continue;
        }
        // One character, a surrogate pair whole; a lone surrogate that no
        // escape made has no UTF-8 form and is written as U+FFFD.
        int units = 1;
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            units = 2;
        bytes += text.mid(i, units).toUtf8();
        i += units - 1;
    }
    return bytes;
}

QByteArray fileNameBytes(const QString &fileName)
{
#ifdef Q_OS_LINUX
    return bytesFromText(fileName);
#else
    return QFile::encodeName(fileName);
#endif
}

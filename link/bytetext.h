// Bytes that come from outside (a device's strings, a file name given on the
// command line) as text, and back, without loss: valid UTF-8 reads as what it
// says; each byte of a sequence that is not valid UTF-8 becomes the lone
// surrogate U+DC80 + byte, which no valid UTF-8 can produce. So two different
// byte strings never read as the same text, and the text gives back the
// very bytes it came from.
#ifndef LUMORA_BYTETEXT_H
#define LUMORA_BYTETEXT_H

#include <QByteArray>
#include <QString>

QString textFromBytes(const QByteArray &bytes);
// The exact inverse of textFromBytes.
QByteArray bytesFromText(const QString &text);
// How many bytes of `bytes`, at most `limit`, end between two characters
// (a byte that is not UTF-8 counts as a character of its own): where a
// string may be cut to fit a field.
int wholeCharacters(const QByteArray &bytes, int limit);
// Whether `c` stands for a byte that was not valid UTF-8; `*byte` is that byte.
bool isEscapedByte(QChar c, unsigned char *byte = nullptr);
// A file name as the system takes it: on Linux, where a name is any bytes and
// the command line is read with textFromBytes, the very bytes the text came
// from; elsewhere Qt's own encoding.
QByteArray fileNameBytes(const QString &fileName);

#endif

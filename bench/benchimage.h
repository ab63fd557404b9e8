// An image file for the benchmarks: version line "2.10", the header padded
// to 255 bytes, then `pages` pages of varying bytes.
#ifndef LUMORA_BENCHIMAGE_H
#define LUMORA_BENCHIMAGE_H

#include <QByteArray>

inline QByteArray benchImage(int pages)
{
    QByteArray file("2.10\n");
    file.append(255 - file.size(), '\0');
    for (int i = 0; i < pages * 256; ++i)
        file.append(char(i * 13));
    return file;
}

#endif

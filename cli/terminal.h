// Whether a standard stream is a terminal, and how many rows it shows, on
// every platform.
#ifndef LUMORA_TERMINAL_H
#define LUMORA_TERMINAL_H

#include <cstdio>

#ifdef _WIN32
#include <io.h>
inline bool isTerminal(std::FILE *stream) { return _isatty(_fileno(stream)); }
inline int terminalRows(std::FILE *) { return 25; }
#else
#include <sys/ioctl.h>
#include <unistd.h>
inline bool isTerminal(std::FILE *stream) { return isatty(fileno(stream)); }
// 24 when the terminal does not say.
inline int terminalRows(std::FILE *stream)
{
    winsize size{};
    return ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_row > 0 ? size.ws_row : 24;
}
#endif

#endif

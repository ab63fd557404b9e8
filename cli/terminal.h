// Whether a standard stream is a terminal, on every platform.
#ifndef LUMORA_TERMINAL_H
#define LUMORA_TERMINAL_H

#include <cstdio>

#ifdef _WIN32
#include <io.h>
inline bool isTerminal(std::FILE *stream) { return _isatty(_fileno(stream)); }
#else
#include <unistd.h>
inline bool isTerminal(std::FILE *stream) { return isatty(fileno(stream)); }
#endif

#endif

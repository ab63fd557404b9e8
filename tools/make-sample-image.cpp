// Writes a sample firmware file: a version line in the 255-byte header, then
// whole pages of a deterministic byte pattern. Usage:
//   make-sample-image OUTPUT [PAGES] [VERSION]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT [PAGES] [VERSION]\n", argv[0]);
        return 2;
    }
    const long pages = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 64;
    const std::string version = argc > 3 ? argv[3] : "2.10";
    if (pages < 0 || pages > 0xFFFF || version.size() > 200) {
        std::fprintf(stderr, "%s: PAGES must be 0..65535 and VERSION short\n", argv[0]);
        return 2;
    }

    std::vector<unsigned char> file(255, 0xFF);
    const std::string line = version + "\n";
    std::memcpy(file.data(), line.data(), line.size());

    unsigned int state = 0x1234567u;
    for (long i = 0; i < pages * 256; ++i) {
        state = state * 1103515245u + 12345u;
        file.push_back(static_cast<unsigned char>(state >> 16));
    }

    std::FILE *out = std::fopen(argv[1], "wb");
    if (!out || std::fwrite(file.data(), 1, file.size(), out) != file.size() || std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}

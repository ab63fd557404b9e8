// Wall time, CPU time and peak memory of lumora-flash updating emulated
// widgets with their real waits: one widget, then --all on 8 and 32 widgets
// at once. 256 pages, 2 ms per reply.
//   bench_station [PATH-TO-lumora-flash]
#include "benchimage.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int Pages = 256;
constexpr const char *ReplyLatencyMs = "2";

struct Figures
{
    double wallSeconds = 0;
    double cpuSeconds = 0;
    long peakKiB = 0;
    int exitCode = -1;
};

Figures runFlasher(const char *flasher, int widgets, const char *image)
{
    const QByteArray count = QByteArray::number(widgets);
    std::fflush(stdout); // what is buffered must not be written twice
    QElapsedTimer clock;
    clock.start();
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("LUMORA_EMULATOR", count.constData(), 1);
        setenv("LUMORA_EMULATOR_LATENCY_MS", ReplyLatencyMs, 1);
        unsetenv("LUMORA_EMULATOR_NO_WAITS");
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        if (widgets == 1)
            execl(flasher, flasher, "--yes", image, static_cast<char *>(nullptr));
        else
            execl(flasher, flasher, "--all", "--yes", image, static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Figures f;
    f.wallSeconds = clock.nsecsElapsed() / 1e9;
    f.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec
                   + usage.ru_stime.tv_usec / 1e6;
    f.peakKiB = usage.ru_maxrss;
    f.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return f;
}

} // namespace

int main(int argc, char **argv)
{
    const char *flasher = argc > 1 ? argv[1] : LUMORA_FLASH_PATH;
    const char *image = "/tmp/bench-station.bin";
    const QByteArray file = benchImage(Pages);
    QFile out(image);
    if (!out.open(QIODevice::WriteOnly) || out.write(file) != file.size()) {
        std::fprintf(stderr, "cannot write %s\n", image);
        return 1;
    }
    out.close();

    std::printf("%d pages, %s ms per reply, real waits (750 ms after open, 2 s loader wait)\n", Pages, ReplyLatencyMs);
    const Figures one = runFlasher(flasher, 1, image);
    std::printf("%2d widget : %6.2f s wall, %.3f s CPU, peak %ld KiB (exit %d)\n", 1, one.wallSeconds,
                one.cpuSeconds, one.peakKiB, one.exitCode);
    for (int widgets : {8, 32}) {
        const Figures all = runFlasher(flasher, widgets, image);
        std::printf("%2d widgets: %6.2f s wall = %.3f x one widget (one after the other: %d x); "
                    "CPU %.3f s in all, %.3f s per widget; peak %ld KiB, %.0f KiB per widget beyond the first"
                    " (exit %d)\n",
                    widgets, all.wallSeconds, all.wallSeconds / one.wallSeconds, widgets, all.cpuSeconds,
                    all.cpuSeconds / widgets, all.peakKiB, double(all.peakKiB - one.peakKiB) / (widgets - 1),
                    all.exitCode);
    }
    QFile::remove(image);
    return 0;
}

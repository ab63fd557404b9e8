// Wall time, CPU time and peak memory of lumora-flash updating emulated
// widgets with their real waits: one widget, then --all on 8, 32 and 64
// widgets at once, each with and without the check after the restart. 256
// pages, 2 ms per reply. Then the cost of a record row, with and without
// having it on the disk before the next.
//   bench_station [PATH-TO-lumora-flash]
#include "benchimage.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
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

Figures runFlasher(const char *flasher, int widgets, const char *image, bool verify)
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
        const char *check = verify ? "--yes" : "--no-verify";
        if (widgets == 1)
            execl(flasher, flasher, "--yes", check, image, static_cast<char *>(nullptr));
        else
            execl(flasher, flasher, "--all", "--yes", check, image, static_cast<char *>(nullptr));
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

// A record row: appended, and with fdatasync on the disk before the next
// one, as the flasher does, or left to the page cache.
void rowCost()
{
    const char *path = "/tmp/bench-station-record.csv";
    const QByteArray row = QByteArray(300, 'r') + '\n';
    constexpr int Rows = 200;
    for (bool synced : {false, true}) {
        const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < Rows; ++i)
            if (::write(fd, row.constData(), size_t(row.size())) != row.size() || (synced && ::fdatasync(fd) != 0))
                std::fprintf(stderr, "cannot write %s\n", path);
        std::printf("record row %s: %.3f ms each (%d rows)\n", synced ? "with fdatasync" : "without fdatasync",
                    clock.nsecsElapsed() / 1e6 / Rows, Rows);
        ::close(fd);
    }
    ::unlink(path);
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
    for (bool verify : {false, true}) {
        std::printf("%s\n", verify ? "with the check after the restart" : "--no-verify");
        const Figures one = runFlasher(flasher, 1, image, verify);
        std::printf("%2d widget : %6.2f s wall, %.3f s CPU, peak %ld KiB (exit %d)\n", 1, one.wallSeconds,
                    one.cpuSeconds, one.peakKiB, one.exitCode);
        for (int widgets : {8, 32, 64}) {
            const Figures all = runFlasher(flasher, widgets, image, verify);
            std::printf("%2d widgets: %6.2f s wall = %.3f x one widget (one after the other: %d x); "
                        "CPU %.3f s in all, %.3f s per widget; peak %ld KiB, %.0f KiB per widget beyond the first"
                        " (exit %d)\n",
                        widgets, all.wallSeconds, all.wallSeconds / one.wallSeconds, widgets, all.cpuSeconds,
                        all.cpuSeconds / widgets, all.peakKiB, double(all.peakKiB - one.peakKiB) / (widgets - 1),
                        all.exitCode);
        }
    }
    rowCost();
    QFile::remove(image);
    return 0;
}

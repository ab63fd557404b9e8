// Runs a program against emulated USB chips, for black-box tests of the
// built programs over the real libusb and libftdi1:
//   umockdev-wrapper usbchip-run [--chips SN1,SN2] [--latency-ms N]
//       [--refuse-pages 3,7] [--no-access] [--driver-busy]
//       [--flash-dump PATTERN-with-%s] -- PROGRAM ARGS...
// --latency-ms delays each widget reply; --no-access leaves the device nodes
// to root alone (the program runs as nobody when this runs as root);
// --driver-busy keeps the kernel driver bound. After the program ends, each
// widget's flash goes to the dump pattern with %s replaced by its serial.
// The exit code is the program's.
#include "usbchip.h"

#include <QFile>
#include <QList>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace lumora;

namespace {

int usage()
{
    std::fprintf(stderr, "usage: umockdev-wrapper usbchip-run [--chips SN1,SN2] [--latency-ms N] [--refuse-pages 3,7]"
                         " [--no-access] [--driver-busy] [--flash-dump PATTERN] -- PROGRAM ARGS...\n");
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QList<QByteArray> serials{"EM000001"};
    QList<QByteArray> refused;
    int latencyMs = 0;
    bool noAccess = false, driverBusy = false;
    QByteArray dumpPattern;
    int i = 1;
    for (; i < argc && QByteArray(argv[i]) != "--"; ++i) {
        const QByteArray option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == "--chips" && hasValue)
            serials = QByteArray(argv[++i]).split(',');
        else if (option == "--latency-ms" && hasValue)
            latencyMs = std::atoi(argv[++i]);
        else if (option == "--refuse-pages" && hasValue)
            refused = QByteArray(argv[++i]).split(',');
        else if (option == "--flash-dump" && hasValue)
            dumpPattern = argv[++i];
        else if (option == "--no-access")
            noAccess = true;
        else if (option == "--driver-busy")
            driverBusy = true;
        else
            return usage();
    }
    if (i + 1 >= argc)
        return usage();

    UsbChipBus bus;
    for (int n = 0; n < serials.size(); ++n) {
        EmulatedWidgetInfo info = EmulatedWidgetInfo::standard(n);
        info.serialString = serials[n];
        UsbChip &chip = bus.plug(info);
        chip.setRefuseDetach(driverBusy);
        chip.withWidget([&](EmulatedWidget &w) {
            w.replyLatencyMs = latencyMs;
            for (const QByteArray &page : refused)
                w.refusePage(page.toInt());
        });
    }
    const bool root = geteuid() == 0;
    if (noAccess) {
        // Everyone may reach the testbed, but only root the device nodes.
        if (root)
            nftw(bus.rootDir().c_str(), [](const char *path, const struct stat *st, int, FTW *) {
                return chmod(path, st->st_mode | S_IRUSR | S_IRGRP | S_IROTH | S_IWUSR | S_IWGRP | S_IWOTH
                                       | (S_ISDIR(st->st_mode) ? S_IXUSR | S_IXGRP | S_IXOTH : 0));
            }, 16, FTW_PHYS);
        for (UsbChip *chip : bus.chips())
            chmod((bus.rootDir() + chip->devNode).c_str(), root ? 0600 : 0);
    }

    unsetenv("LUMORA_EMULATOR");
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if (noAccess && root && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(127);
        execvp(argv[i + 1], argv + i + 1);
        std::perror(argv[i + 1]);
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }

    if (!dumpPattern.isEmpty()) {
        for (UsbChip *chip : bus.chips()) {
            QFile file(QString::fromLocal8Bit(dumpPattern).replace("%s", QString::fromLatin1(chip->serial)));
            const QByteArray flash = chip->withWidget([](EmulatedWidget &w) { return w.flashedImage(); });
            if (!file.open(QIODevice::WriteOnly) || file.write(flash) != flash.size())
                std::fprintf(stderr, "usbchip-run: cannot write %s\n", qPrintable(file.fileName()));
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

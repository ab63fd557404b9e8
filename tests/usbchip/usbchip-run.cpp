// Runs a program against emulated USB chips (see the usage below), for
// black-box tests of the built programs over the real libusb and libftdi1.
// The widgets take the knobs of emulatedknobs.h as options (--latency-ms 2
// is LUMORA_EMULATOR_LATENCY_MS=2); --no-access takes every permission
// off the device nodes (and, when run as root, the program's capabilities
// that override permissions), so that opening one fails with EACCES as for
// a user without the udev rule; --driver-busy keeps the kernel driver bound;
// --claimed has another program hold the chip's interface.
// After the program ends, each widget's flash goes to the dump pattern with
// %s replaced by its serial. The exit code is the program's. Ctrl-C and
// other signals to the process group reach the program alone; this waits
// for it and still dumps.
#include "emulatedknobs.h"
#include "usbchip.h"

#include <QFile>
#include <QMap>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace lumora;

namespace {

// Root without the capabilities to pass over file permissions, for good:
// they go from the bounding set too, so the program's exec keeps them away.
bool dropPermissionOverride()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2];
    if (syscall(SYS_capget, &header, caps) != 0)
        return false;
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0)
            return false;
        for (auto *set : {&caps[0].effective, &caps[0].permitted, &caps[0].inheritable})
            *set &= ~(1u << cap);
    }
    return syscall(SYS_capset, &header, caps) == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const QStringList flags{"--no-access", "--driver-busy", "--claimed"};
    QStringList valued{"--chips", "--flash-dump"};
    QByteArray knobUsage;
    for (const EmulatorKnob &knob : emulatorKnobs()) {
        valued << knob.option();
        knobUsage += "  " + knob.option() + " " + knob.example + "\t" + knob.help + "\n";
    }
    QMap<QString, QString> options{{"--chips", "EM000001"}};
    int i = 1;
    for (; i < argc && QByteArray(argv[i]) != "--"; ++i) {
        const QString option = argv[i];
        if (!flags.contains(option) && !(valued.contains(option) && i + 1 < argc))
            break;
        options[option] = flags.contains(option) ? "1" : QString::fromLocal8Bit(argv[++i]);
    }
    if (i + 1 >= argc || QByteArray(argv[i]) != "--") {
        std::fprintf(stderr, "usage: umockdev-wrapper usbchip-run [--chips SN1,SN2] [--no-access] [--driver-busy]"
                             " [--claimed] [--flash-dump PATTERN-with-%%s] [KNOB VALUE]... -- PROGRAM ARGS...\n"
                             "knobs of the widgets (an item SERIAL:VALUE for that widget alone):\n%s",
                     knobUsage.constData());
        return 2;
    }
    const bool noAccess = options.contains("--no-access");
    EmulatorKnobValues knobs;
    for (const EmulatorKnob &knob : emulatorKnobs()) {
        const QString option = QString::fromLatin1(knob.option());
        if (!options.contains(option))
            continue;
        const QByteArray value = options.value(option).toLocal8Bit();
        if (const QString problem = knob.problem(value); !problem.isEmpty()) {
            std::fprintf(stderr, "usbchip-run: %s %s: %s\n", knob.option().constData(), value.constData(),
                         qPrintable(problem));
            return 2;
        }
        knobs.set(knob, value);
    }

    UsbChipBus bus;
    std::vector<UsbChip *> chips;
    for (const QString &serial : options.value("--chips").split(',')) {
        EmulatedWidgetInfo info = EmulatedWidgetInfo::standard(int(chips.size()));
        info.serialString = serial.toLocal8Bit();
        UsbChip &chip = *chips.emplace_back(&bus.plug(info));
        chip.setRefuseDetach(options.contains("--driver-busy"));
        chip.setClaimedElsewhere(options.contains("--claimed"));
        chip.withWidget([&](EmulatedWidget &w) { knobs.shape(w); });
        if (noAccess)
            chmod((qgetenv("UMOCKDEV_DIR") + chip.devNode.c_str()).constData(), 0);
    }

    unsetenv("LUMORA_EMULATOR");
    std::fflush(nullptr);
    const int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};
    for (int s : stopSignals)
        signal(s, SIG_IGN);
    const pid_t child = fork();
    if (child == 0) {
        for (int s : stopSignals)
            signal(s, SIG_DFL);
        if (noAccess && geteuid() == 0 && !dropPermissionOverride()) {
            std::perror("usbchip-run: dropping the permission override");
            _exit(127);
        }
        execvp(argv[i + 1], argv + i + 1);
        std::perror(argv[i + 1]);
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }

    const QString dumpPattern = options.value("--flash-dump");
    for (UsbChip *chip : chips) {
        QFile file(QString(dumpPattern).replace("%s", QString::fromLocal8Bit(chip->serial)));
        const QByteArray flash = chip->withWidget([](EmulatedWidget &w) { return w.flashedImage(); });
        if (!dumpPattern.isEmpty() && (!file.open(QIODevice::WriteOnly) || file.write(flash) != flash.size()))
            std::fprintf(stderr, "usbchip-run: cannot write %s\n", qPrintable(file.fileName()));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

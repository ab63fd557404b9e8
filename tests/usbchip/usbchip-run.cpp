// Runs a program against emulated USB chips (see the usage below), for
// black-box tests of the built programs over the real libusb and libftdi1.
// The widgets take the knobs of emulatedknobs.h as options (--latency-ms 2
// is LUMORA_EMULATOR_LATENCY_MS=2); --plug plugs widgets in and pulls them
// out as LUMORA_EMULATOR_PLUG does (a widget plugged in again comes back on
// its port as a new device, as it was left); --no-access takes every
// permission off the device nodes (and, when run as root, the program's
// capabilities that override permissions), so that opening one fails with
// EACCES as for a user without the udev rule; --driver-busy keeps the kernel
// driver bound; --claimed has another program hold the chip's interface.
// After the program ends, each widget's flash goes to the dump pattern with
// %s replaced by its serial. The exit code is the program's. Ctrl-C and
// other signals to the process group reach the program alone; this waits
// for it and still dumps.
#include "emulatedknobs.h"
#include "usbchip.h"

#include <QMap>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <linux/capability.h>
#include <map>
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
    QStringList valued{"--chips", "--plug", "--flash-dump"};
    QByteArray knobUsage;
    for (const EmulatorKnob &knob : emulatorKnobs()) {
        valued << knob.option();
        knobUsage += "  " + knob.option() + " " + knob.example + "\t" + knob.help + "\n";
    }
    QMap<QString, QByteArray> options{{"--chips", "EM000001"}};
    int i = 1;
    for (; i < argc && QByteArray(argv[i]) != "--"; ++i) {
        const QString option = argv[i];
        if (!flags.contains(option) && !(valued.contains(option) && i + 1 < argc))
            break;
        options[option] = flags.contains(option) ? QByteArray("1") : QByteArray(argv[++i]);
    }
    if (i + 1 >= argc || QByteArray(argv[i]) != "--") {
        std::fprintf(stderr, "usage: umockdev-wrapper usbchip-run [--chips SN1,SN2 (empty: none)] [--plug"
                             " MS:+SN,MS:-SN...] [--no-access] [--driver-busy] [--claimed] [--flash-dump"
                             " PATTERN-with-%%s] [KNOB VALUE]... -- PROGRAM ARGS...\n"
                             "knobs of the widgets (an item SERIAL:VALUE for that widget alone):\n%s",
                     knobUsage.constData());
        return 2;
    }
    const bool noAccess = options.contains("--no-access");
    // Every malformed value is said, and nothing runs.
    QByteArray problems;
    auto check = [&](const QByteArray &option, const QString &problem) {
        if (!problem.isEmpty())
            problems += "usbchip-run: " + option + " " + options.value(option) + ": " + problem.toLocal8Bit() + "\n";
    };
    EmulatorKnobValues knobs;
    for (const EmulatorKnob &knob : emulatorKnobs()) {
        if (!options.contains(knob.option()))
            continue;
        check(knob.option(), knob.problem(options.value(knob.option())));
        knobs.set(knob, options.value(knob.option()));
    }
    const QByteArray schedule = options.value("--plug");
    if (options.contains("--plug"))
        check("--plug", PlugSchedule::problem(schedule));
    if (!problems.isEmpty()) {
        std::fputs(problems.constData(), stderr);
        return 2;
    }

    UsbChipBus bus;
    bus.onPlug = [&](UsbChip &chip) {
        std::fprintf(stderr, "usbchip-run: %s plugged in: port %d, %s\n", chip.serial.constData(), chip.port,
                     chip.devNode.c_str());
        chip.setRefuseDetach(options.contains("--driver-busy"));
        chip.setClaimedElsewhere(options.contains("--claimed"));
        if (noAccess)
            chmod((qgetenv("UMOCKDEV_DIR") + chip.devNode.c_str()).constData(), 0);
    };
    std::map<QByteArray, UsbChip *> chips; // by serial, each widget in the chip it was first plugged in
    auto plug = [&](const QByteArray &serial, bool in) {
        auto it = chips.find(serial);
        if (it != chips.end() && in)
            bus.replug(*it->second);
        else if (it != chips.end())
            it->second->unplug();
        else if (in) {
            EmulatedWidgetInfo info = EmulatedWidgetInfo::standard(int(chips.size()));
            info.serialString = serial;
            chips[serial] = &bus.plug(info, [&](EmulatedWidget &w) { knobs.shape(w); });
        }
    };
    for (const QByteArray &serial : options.value("--chips").split(','))
        if (!serial.isEmpty())
            plug(serial, true);

    unsetenv("LUMORA_EMULATOR");
    std::fflush(nullptr);
    const int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};
    for (int s : stopSignals)
        signal(s, SIG_IGN);
    PlugSchedule plugs;
    plugs.start(schedule, plug);
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
    plugs.stop();

    const QByteArray dumpPattern = options.value("--flash-dump");
    for (const auto &[serial, chip] : chips)
        if (!dumpPattern.isEmpty() && !chip->withWidget([&](EmulatedWidget &w) { return w.writeFlash(dumpPattern); }))
            std::fprintf(stderr, "usbchip-run: cannot write %s\n",
                         QByteArray(dumpPattern).replace("%s", serial).constData());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

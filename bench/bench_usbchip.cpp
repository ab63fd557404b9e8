// A firmware update through the real libftdi1 and libusb against an emulated
// USB chip: bulk OUT and bulk IN transfers per page, and time per page with
// the latency timer at 2 ms, for a few reply delays of the widget. On a real
// full-speed chip every synchronous bulk transfer can cost up to a 1 ms USB
// frame, which the emulation does not charge: count transfers, not only time.
//   ./bench_usbchip            (starts itself again under umockdev-wrapper)
#include "benchimage.h"
#include "firmwareimage.h"
#include "firmwareupdate.h"
#include "sleep.h"
#include "usbchip.h"
#include "widgetlink.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

constexpr int Pages = 256;

void updateRun(lumora::UsbChipBus &bus, int serial, int replyDelayMs)
{
    lumora::EmulatedWidgetInfo info = lumora::EmulatedWidgetInfo::standard(0);
    info.serialString = "BU" + QByteArray::number(serial).rightJustified(4, '0');
    lumora::UsbChip &chip = bus.plug(info);
    chip.withWidget([&](lumora::EmulatedWidget &w) { w.replyLatencyMs = replyDelayMs; });

    // The new chip is the only one listed: the one before is pulled out.
    DWORD count = 0;
    QElapsedTimer listed;
    listed.start();
    while ((FT_CreateDeviceInfoList(&count) != FT_OK || count != 1) && listed.elapsed() < 5000)
        usleep(10000);

    WidgetLink link;
    link.reportStream = nullptr;
    if (!link.open(0)) {
        std::fprintf(stderr, "open failed\n");
        std::exit(1);
    }
    const FirmwareImage image(benchImage(Pages));
    FirmwareUpdate update(link, image, "bench.bin");
    const lumora::UsbChip::Transfers before = chip.transfers();
    QElapsedTimer timer;
    timer.start();
    const FirmwareUpdate::Outcome outcome = update.run(); // the loader wait is skipped
    const double totalMs = double(timer.nsecsElapsed()) / 1e6;
    const lumora::UsbChip::Transfers after = chip.transfers();
    const double out = double(after.bulkOut - before.bulkOut) / Pages;
    const double in = double(after.bulkIn - before.bulkIn) / Pages;
    std::printf("reply delay %d ms, latency timer %d ms: %d pages, %.3f ms/page, per page %.2f bulk OUT"
                " and %.2f bulk IN%s\n",
                replyDelayMs, chip.latencyTimer(), Pages, totalMs / Pages, out, in, outcome == FirmwareUpdate::Outcome::Done ? "" : " NOT DONE");
    link.close();
    chip.unplug();
}

} // namespace

int main(int argc, char **argv)
{
    if (!qgetenv("LD_PRELOAD").contains("libumockdev-preload")) {
        std::vector<char *> args{const_cast<char *>(UMOCKDEV_WRAPPER)};
        args.insert(args.end(), argv, argv + argc);
        args.push_back(nullptr);
        execv(UMOCKDEV_WRAPPER, args.data());
        std::perror("bench_usbchip: starting umockdev-wrapper");
        return 1;
    }
    qunsetenv("LUMORA_EMULATOR");
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    lumora::setSleepFunction([](int) {}); // the open pauses and the loader wait
    auto *bus = new lumora::UsbChipBus; // libusb may still talk to it at exit
    int serial = 0;
    for (int delay : {0, 1, 5})
        updateRun(*bus, ++serial, delay);
    return 0;
}

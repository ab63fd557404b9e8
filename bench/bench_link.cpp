// Host time of the device work against emulated widgets: a firmware update
// per page with no reply latency and with a set latency per reply, the D2XX
// calls per page, and a device scan with 1 and with 16 widgets.
//   LUMORA_EMULATOR=0 ./bench_link
#include "benchimage.h"
#include "deviceinfo.h"
#include "devicepanel.h"
#include "emulatedbus.h"
#include "faultinjection.h"
#include "firmwareimage.h"
#include "firmwareupdate.h"
#include "sleep.h"
#include "widgetlink.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

using lumora::D2xxCall;
using lumora::EmulatedBus;

namespace {

constexpr int Pages = 256;

// Counts the D2XX calls behind the emulated bus.
lumora::FaultInjection &faults()
{
    static lumora::FaultInjection counting(EmulatedBus::instance());
    return counting;
}

void updateRun(int latencyMs)
{
    EmulatedBus &bus = EmulatedBus::instance();
    bus.reset(1);
    bus.widget(0).replyLatencyMs = latencyMs;
    WidgetLink link;
    link.reportStream = nullptr;
    if (!link.open(0)) {
        std::fprintf(stderr, "open failed\n");
        return;
    }
    const FirmwareImage image(benchImage(Pages));
    FirmwareUpdate update(link, image, "bench.bin");
    faults().clearCallCounts();
    QElapsedTimer timer;
    timer.start();
    const FirmwareUpdate::Outcome outcome = update.run(); // the loader wait is skipped
    const double totalMs = double(timer.nsecsElapsed()) / 1e6;
    const int calls = faults().calls(D2xxCall::Read) + faults().calls(D2xxCall::Write);
    std::printf("update, %d ms latency: %d pages in %.1f ms, %.3f ms/page", latencyMs, Pages, totalMs,
                totalMs / Pages);
    if (latencyMs > 0)
        std::printf(", total / (pages x latency) = %.3f", totalMs / (Pages * latencyMs));
    std::printf("; D2XX calls/page %.2f (writes %.2f, reads %.2f)%s\n", double(calls) / Pages,
                double(faults().calls(D2xxCall::Write)) / Pages, double(faults().calls(D2xxCall::Read)) / Pages,
                outcome == FirmwareUpdate::Outcome::Done ? "" : " NOT DONE");
    link.close();
}

void scanRun(int widgets)
{
    EmulatedBus &bus = EmulatedBus::instance();
    bus.reset(widgets);
    constexpr int Rounds = 2000;
    QElapsedTimer timer;
    timer.start();
    int items = 0;
    for (int round = 0; round < Rounds; ++round) {
        DWORD count = 0;
        FT_CreateDeviceInfoList(&count);
        for (const FT_DEVICE_LIST_INFO_NODE &node : readDeviceInfoList(count))
            items += deviceItemText(node).size() > 0;
    }
    std::printf("scan, %2d widgets: %.2f us per scan (%d items)\n", widgets,
                double(timer.nsecsElapsed()) / 1e3 / Rounds, items / Rounds);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    DWORD count = 0;
    FT_CreateDeviceInfoList(&count); // choose the backend first
    if (!qEnvironmentVariableIsSet("LUMORA_EMULATOR")) {
        std::fprintf(stderr, "run with LUMORA_EMULATOR=0\n");
        return 1;
    }
    lumora::setSleepFunction([](int) {}); // the open pauses and the loader wait
    lumora::setD2xxBackend(&faults());
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    for (int latency : {0, 2, 5})
        updateRun(latency);
    for (int widgets : {1, 16})
        scanRun(widgets);
    return 0;
}

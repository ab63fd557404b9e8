// The real libftdi1 and libusb against emulated USB chips. First a firmware
// update: time, bulk OUT and bulk IN transfers per page, with the chip's
// latency timer at 2 ms and held at 16 ms (as when another program reset
// it), with the event character off and on, for a few reply delays of the
// widget. On a real full-speed chip every synchronous bulk transfer can cost
// up to a 1 ms USB frame, which the emulation does not charge: count
// transfers, not only time. Then a station's loop (list, open each new
// attachment by its LocId in a thread of its own and identify the widget,
// wait for a change or 500 ms): the time from a plug to the open, for a lone
// widget and for bursts of 8 and 12 plugged at once, on a quiet machine and
// with two busy loops beside it; and the CPU the process spends with 8
// widgets attached and nothing happening.
//   ./bench_usbchip [update|station]   (starts itself again under umockdev-wrapper)
#include "benchimage.h"
#include "bytetext.h"
#include "deviceinfo.h"
#include "firmwareimage.h"
#include "firmwareupdate.h"
#include "sleep.h"
#include "usbchip.h"
#include "widgetlink.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int Pages = 256;
constexpr int StationListIntervalMs = 500;

lumora::UsbChip &plug(lumora::UsbChipBus &bus, const QByteArray &serial)
{
    lumora::EmulatedWidgetInfo info = lumora::EmulatedWidgetInfo::standard(0);
    info.serialString = serial;
    return bus.plug(info);
}

int attachedCount()
{
    return attachedDevices().entries.size();
}

void updateRun(lumora::UsbChipBus &bus, int serial, int replyDelayMs, int timerMs, bool eventChar)
{
    lumora::UsbChip &chip = plug(bus, "BU" + QByteArray::number(serial).rightJustified(4, '0'));
    chip.withWidget([&](lumora::EmulatedWidget &w) { w.replyLatencyMs = replyDelayMs; });
    chip.holdLatencyTimer(timerMs == 16); // the chip starts at 16 ms

    // The new chip is the only one listed: the one before is pulled out.
    QElapsedTimer clock;
    clock.start();
    while (attachedCount() != 1 && clock.elapsed() < 5000)
        usleep(10000);

    WidgetLink link;
    link.reportStream = nullptr;
    if (!link.open(0)) {
        std::fprintf(stderr, "open failed\n");
        std::exit(1);
    }
    FT_SetChars(link.handle, 0xE7, eventChar ? 1 : 0, 0, 0);
    const FirmwareImage image(benchImage(Pages));
    FirmwareUpdate update(link, image, "bench.bin");
    const lumora::UsbChip::Transfers before = chip.transfers();
    clock.restart();
    const FirmwareUpdate::Outcome outcome = update.run(); // the loader wait is skipped
    const double totalMs = double(clock.nsecsElapsed()) / 1e6;
    const lumora::UsbChip::Transfers after = chip.transfers();
    std::printf("timer %2d ms, event character %-3s, reply delay %d ms: %7.3f ms/page; per page %.2f bulk OUT,"
                " %.2f bulk IN (%.2f early)%s\n",
                chip.latencyTimer(), eventChar ? "on" : "off", replyDelayMs, totalMs / Pages,
                double(after.bulkOut - before.bulkOut) / Pages, double(after.bulkIn - before.bulkIn) / Pages,
                double(after.earlyIn - before.earlyIn) / Pages,
                outcome == FirmwareUpdate::Outcome::Done ? "" : " NOT DONE");
    link.close();
    chip.unplug();
}

// Lists, opens every new entry in a thread of its own, identifies the widget
// and lets it go, and waits for a change on its list, as lumora-flash
// --station does.
class Station
{
public:
    Station() : m_thread([this] { run(); }) {}
    ~Station()
    {
        m_stop = true;
        m_thread.join();
        for (std::thread &t : m_opens)
            t.join();
    }
    // When the widget with this serial was first listed, its device opened
    // and the widget identified; max() while it is not.
    struct Times {
        Clock::time_point listed = Clock::time_point::max(), opened = Clock::time_point::max(),
                          identified = Clock::time_point::max();
    };
    Times times(const QByteArray &serial)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_times.count(serial) ? m_times[serial] : Times();
    }

private:
    void run()
    {
        while (!m_stop) {
            const lumora::DeviceList list = attachedDevices();
            for (const lumora::DeviceEntry &entry : list.entries) {
                const QByteArray serial = entry.serial;
                if (serial.isEmpty() || !m_seen.insert(entry.location).second)
                    continue;
                {
                    std::lock_guard<std::mutex> lock(m_lock);
                    m_times[serial].listed = Clock::now();
                }
                m_opens.emplace_back([this, serial, entry] {
                    WidgetLink link;
                    link.reportStream = nullptr;
                    const bool opened = link.openDeviceAt(entry, textFromBytes(serial)).deviceOpen();
                    const Clock::time_point openedAt = Clock::now();
                    const bool identified = opened && link.identify().identified();
                    const Clock::time_point identifiedAt = Clock::now();
                    link.close();
                    std::lock_guard<std::mutex> lock(m_lock);
                    if (opened)
                        m_times[serial].opened = openedAt;
                    if (identified)
                        m_times[serial].identified = identifiedAt;
                });
            }
            // As the station: a change ends the wait, else a new listing
            // after 500 ms.
            for (int waited = 0; waited < StationListIntervalMs && !m_stop; waited += 100)
                if (waitForDeviceChange(list, 100))
                    break;
        }
    }

    std::atomic<bool> m_stop{false};
    std::set<DWORD> m_seen;
    std::vector<std::thread> m_opens;
    std::mutex m_lock;
    std::map<QByteArray, Times> m_times;
    std::thread m_thread;
};

// Milliseconds from a plug to the widget's first listing, its open and its
// identification (a widget never opened counts as 10 s).
struct PickUp {
    std::vector<double> listed, opened, identified;
};

// Plugs the chips one right after the other.
void pickUp(lumora::UsbChipBus &bus, Station &station, const std::vector<QByteArray> &serials,
            std::vector<lumora::UsbChip *> *chips, PickUp *figures)
{
    std::vector<Clock::time_point> plugged;
    for (const QByteArray &serial : serials) {
        chips->push_back(&plug(bus, serial));
        plugged.push_back(Clock::now());
    }
    const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(10);
    auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
    for (size_t i = 0; i < serials.size(); ++i) {
        Station::Times t;
        while ((t = station.times(serials[i])).identified == Clock::time_point::max() && Clock::now() < giveUp)
            usleep(1000);
        figures->listed.push_back(ms(std::min(t.listed, giveUp) - plugged[i]));
        figures->opened.push_back(ms(std::min(t.opened, giveUp) - plugged[i]));
        figures->identified.push_back(ms(std::min(t.identified, giveUp) - plugged[i]));
    }
}

void printPickUp(const char *what, PickUp figures)
{
    for (std::vector<double> *ms : {&figures.listed, &figures.opened, &figures.identified})
        std::sort(ms->begin(), ms->end());
    auto median = [](const std::vector<double> &ms) { return ms[ms.size() / 2]; };
    std::printf("%s: %zu plugs; plug to open median %.1f ms, max %.1f ms; to identified median %.1f ms, max"
                " %.1f ms; to the first listing median %.1f ms, max %.1f ms\n",
                what, figures.opened.size(), median(figures.opened), figures.opened.back(),
                median(figures.identified), figures.identified.back(), median(figures.listed),
                figures.listed.back());
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void pullOut(std::vector<lumora::UsbChip *> *chips)
{
    for (lumora::UsbChip *chip : *chips)
        chip->unplug();
    chips->clear();
    QElapsedTimer clock;
    clock.start();
    while (attachedCount() != 0 && clock.elapsed() < 5000)
        usleep(10000);
}

// Two busy loops, as on a machine that builds something at the same time;
// ended when this goes.
class Load
{
public:
    explicit Load(bool busy)
    {
        for (int i = 0; busy && i < 2; ++i) {
            m_loops.emplace_back(new QProcess);
            m_loops.back()->start("sh", {"-c", "while :; do :; done"});
            m_loops.back()->waitForStarted();
        }
    }
    ~Load()
    {
        for (auto &loop : m_loops) {
            loop->kill();
            loop->waitForFinished();
        }
    }

private:
    std::vector<std::unique_ptr<QProcess>> m_loops;
};

void station(lumora::UsbChipBus &bus)
{
    Station station;
    std::vector<lumora::UsbChip *> chips;
    std::mt19937 random(1);
    int serial = 0;
    auto serials = [&](int n) {
        std::vector<QByteArray> s;
        while (n-- > 0)
            s.push_back("ST" + QByteArray::number(++serial).rightJustified(4, '0'));
        return s;
    };
    auto someMomentOfTheWait = [&] {
        usleep(useconds_t(std::uniform_int_distribution<int>(0, StationListIntervalMs)(random) * 1000));
    };

    // Plugged at any moment of the station's wait.
    PickUp lone;
    for (int i = 0; i < 10; ++i) {
        someMomentOfTheWait();
        pickUp(bus, station, serials(1), &chips, &lone);
    }
    printPickUp("station, a lone widget", lone);
    pullOut(&chips);

    // The first burst makes the libftdi1 contexts that later opens reuse.
    PickUp first;
    pickUp(bus, station, serials(12), &chips, &first);
    printPickUp("station, the first burst of 12", first);
    pullOut(&chips);
    for (bool busy : {false, true}) {
        const Load load(busy);
        for (int size : {8, 12}) {
            PickUp bursts;
            for (int i = 0; i < 4; ++i) {
                someMomentOfTheWait();
                pickUp(bus, station, serials(size), &chips, &bursts);
                pullOut(&chips);
            }
            printPickUp(qPrintable(QString("station, 4 bursts of %1, %2").arg(size).arg(busy ? "busy" : "quiet")),
                        bursts);
        }
    }

    PickUp eight;
    pickUp(bus, station, serials(8), &chips, &eight);
    sleep(1);
    const double cpu = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    sleep(10);
    std::printf("station, 8 widgets attached and opened once, at rest: %.2f %% of a core (the chips included)\n",
                100 * (cpuSeconds() - cpu) / (double(clock.nsecsElapsed()) / 1e9));
    pullOut(&chips);
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
    const QByteArray part = argc > 1 ? argv[1] : "";
    int serial = 0;
    if (part != "station")
        for (int timerMs : {2, 16})
            for (bool eventChar : {false, true})
                for (int delay : {0, 5})
                    updateRun(*bus, ++serial, delay, timerMs, eventChar);
    std::fflush(stdout);
    if (part != "update")
        station(*bus);
    return 0;
}

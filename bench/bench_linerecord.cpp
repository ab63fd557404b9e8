// Figures of the line's record against a PostgreSQL server of its own, which
// syncs its commits as a line's server does:
//  - add() per row (the spool's commit) with the server away and with it up;
//  - rows per second into the table from 64 threads adding at once, and
//    from lumora-flash --all on 64 emulated widgets;
//  - what a widget's update costs with --record-db and without it;
//  - the replay of 10,000 spooled rows once the server is back;
//  - an outage run: lumora-flash --station flashing widgets as they are
//    plugged in while the server is stopped and started several times,
//    then every row checked to be in the table exactly once.
//   bench_linerecord [SPOOL-DIRECTORY]   (default: a temporary directory)
#include "benchimage.h"
#include "linerecorder.h"
#include "linetestsupport.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>

namespace {

constexpr int AdderThreads = 64;
constexpr int RowsPerAdder = 100;
constexpr int ReplayRows = 10000;
constexpr int Outages = 4;
constexpr int StationWidgets = 60; // the emulated bus makes 64 widgets at most

struct Bench
{
    TestPgServer server{TestPgServer::Durable};
    QString spoolDirectory;
    int runs = 0;
    std::atomic<int> outages{0};

    // A database and a spool of one run's own, and a recorder over them.
    std::unique_ptr<LineRecorder> recorder(const QString &address = {})
    {
        ++runs;
        QString error;
        if (address.isEmpty() && !server.createDatabase(database(), &error))
            qFatal("%s", qPrintable(error));
        auto r = std::make_unique<LineRecorder>(recordLineTable(), [this](const LineRecorderEvent &e) {
            outages += e.kind == LineRecorderEvent::ServerAway;
        });
        const QString spool = spoolDirectory + QStringLiteral("/bench%1.sqlite").arg(runs);
        if (r->start(address.isEmpty() ? server.address(database()) : address, spool, &error)
            != LineRecorder::Start::Ready)
            qFatal("%s", qPrintable(error));
        return r;
    }
    QString database() const { return QStringLiteral("bench%1").arg(runs); }
    QStringList rowsIn()
    {
        return server.query(database(), "SELECT count(*), count(DISTINCT attempt_id) FROM lumora_attempts");
    }
};

void stopOrStart(Bench &bench, bool start)
{
    QString error;
    if (!(start ? bench.server.start(&error) : bench.server.stop(&error)))
        qFatal("%s", qPrintable(error));
}

// Adds `rows` rows one after the other; the microseconds of each add().
QVector<double> addRows(LineRecorder &recorder, int rows, QStringList *ids = nullptr, int pauseMs = 0)
{
    QVector<double> micros;
    QString error;
    for (int i = 0; i < rows; ++i) {
        const QJsonObject row = testLineRow(QStringLiteral("LX%1").arg(i), i);
        QElapsedTimer clock;
        clock.start();
        if (!recorder.add(row, &error))
            qFatal("add: %s", qPrintable(error));
        micros << clock.nsecsElapsed() / 1e3;
        if (ids)
            *ids << row["attempt_id"].toString();
        if (pauseMs)
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    return micros;
}

void printAdds(const char *what, QVector<double> micros)
{
    std::sort(micros.begin(), micros.end());
    double sum = 0;
    for (double m : micros)
        sum += m;
    std::printf("add() %s: %.0f us per row on average, median %.0f us, 99th percentile %.0f us (%d rows)\n", what,
                sum / micros.size(), micros[micros.size() / 2], micros[micros.size() * 99 / 100], int(micros.size()));
}

// A flasher run: its wall and CPU time, its exit code, and when (since its
// start) each JSON event arrived.
struct FlasherRun
{
    double wallSeconds = 0;
    double cpuSeconds = 0;
    int exitCode = -1;
    QVector<QPair<double, QJsonObject>> events;
    QVector<double> at(const QString &event) const
    {
        QVector<double> times;
        for (const auto &e : events)
            if (e.second["event"].toString() == event)
                times << e.first;
        return times;
    }
};

// Runs lumora-flash on emulated widgets; sends it SIGINT, as Ctrl-C, once
// `stopWhen` says so (asked with the seconds since the start).
FlasherRun runFlasher(const QStringList &arguments, const QStringList &settings,
                      const std::function<bool(const FlasherRun &, double)> &stopWhen = {})
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &setting : settings)
        env.insert(setting.section('=', 0, 0), setting.section('=', 1));
    QProcess flasher;
    flasher.setProcessEnvironment(env);
    flasher.setStandardErrorFile(QProcess::nullDevice());
    FlasherRun run;
    QElapsedTimer clock;
    clock.start();
    flasher.start(LUMORA_FLASH_PATH, arguments);
    flasher.closeWriteChannel();
    bool interrupted = false;
    while (flasher.state() != QProcess::NotRunning || flasher.canReadLine()) {
        if (!flasher.canReadLine())
            flasher.waitForReadyRead(20);
        while (flasher.canReadLine())
            run.events.append({clock.nsecsElapsed() / 1e9, QJsonDocument::fromJson(flasher.readLine()).object()});
        if (!interrupted && stopWhen && stopWhen(run, clock.nsecsElapsed() / 1e9)) {
            ::kill(pid_t(flasher.processId()), SIGINT);
            interrupted = true;
        }
    }
    run.wallSeconds = clock.nsecsElapsed() / 1e9;
    run.exitCode = flasher.exitStatus() == QProcess::NormalExit ? flasher.exitCode() : -1;
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    static double cpuBefore = 0;
    const double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec
                       + usage.ru_stime.tv_usec / 1e6;
    run.cpuSeconds = cpu - cpuBefore;
    cpuBefore = cpu;
    return run;
}

QString writeImage(const QString &directory, int pages)
{
    const QString path = directory + QStringLiteral("/bench-%1.bin").arg(pages);
    QFile image(path);
    if (!image.open(QIODevice::WriteOnly) || image.write(benchImage(pages)) < 0)
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A database of its own, and the options that give it and a spool of its
// own to lumora-flash.
QStringList lineOptions(Bench &bench, const QString &database, const QString &directory)
{
    QString error;
    if (!bench.server.createDatabase(database, &error))
        qFatal("%s", qPrintable(error));
    return {"--record-db", bench.server.address(database), "--spool", directory + '/' + database + ".sqlite"};
}

void flasherFigures(Bench &bench, const QString &directory)
{
    const QString database = QStringLiteral("flasher");
    const QStringList line = lineOptions(bench, database, directory);
    // Rows per second from 64 widgets at once: one page each, no waits, so
    // that the rows come as fast as the widgets can give them.
    const QString onePage = writeImage(directory, 1);
    const FlasherRun all = runFlasher(QStringList{"--all", "--yes", "--json", onePage} + line,
                                      {"LUMORA_EMULATOR=64", "LUMORA_EMULATOR_NO_WAITS=1"});
    const QVector<double> results = all.at("result");
    const double first = results.isEmpty() ? 0 : results.first(), end = all.at("end").value(0);
    std::printf("lumora-flash --all on 64 widgets (1 page, no waits) with --record-db: results from %.3f s to"
                " %.3f s, end (every row in the table: records_pending %d) at %.3f s: %.0f rows/s from the first"
                " result to the end (exit %d)\n",
                first, results.isEmpty() ? 0 : results.last(), all.events.last().second["records_pending"].toInt(),
                end, results.size() / (end - first), all.exitCode);

    // A widget's update as the line runs it: 256 pages, 2 ms a reply, the
    // real waits; three runs of each, the median.
    const QString image = writeImage(directory, 256);
    for (int widgets : {1, 64}) {
        for (bool recordDb : {false, true}) {
            QVector<double> wall, cpu;
            for (int i = 0; i < (widgets == 1 ? 3 : 1); ++i) {
                QStringList arguments{"--yes", image};
                if (widgets > 1)
                    arguments << "--all";
                if (recordDb)
                    arguments << line;
                const FlasherRun run = runFlasher(arguments, {QStringLiteral("LUMORA_EMULATOR=%1").arg(widgets),
                                                             "LUMORA_EMULATOR_LATENCY_MS=2"});
                if (run.exitCode != 0)
                    qFatal("lumora-flash ended with %d", run.exitCode);
                wall << run.wallSeconds;
                cpu << run.cpuSeconds;
            }
            std::printf("%2d widget(s), 256 pages, real waits, %-16s: %.3f s wall, %.3f s CPU (%.1f ms CPU a"
                        " widget)\n",
                        widgets, recordDb ? "with --record-db" : "without", median(wall), median(cpu),
                        median(cpu) * 1000 / widgets);
        }
    }
    std::printf("table %s: %s (rows, distinct attempts)\n", qPrintable(database),
                qPrintable(bench.server.query(database, "SELECT count(*), count(DISTINCT attempt_id) FROM"
                                                        " lumora_attempts").join(' ')));
}

// A station that flashes widgets as they are plugged in and pulled out,
// while the server is stopped and started again every 2 s; once the last
// outage is over and the station has said the server is back, Ctrl-C. Every
// row the station reported must be in the table once.
void stationOutages(Bench &bench, const QString &directory)
{
    const QString database = QStringLiteral("station");
    const QStringList line = lineOptions(bench, database, directory);
    QStringList plugs;
    for (int i = 0; i < StationWidgets; ++i)
        plugs << QStringLiteral("%1:+W%2,%3:-W%2")
                     .arg(500 + i * 300).arg(i, 3, 10, QLatin1Char('0')).arg(1500 + i * 300);
    const QString image = writeImage(directory, 64);
    std::atomic<bool> outagesOver{false};
    FlasherRun station;
    // The server is started and stopped by this thread, which it outlives.
    std::thread flasher([&] {
        station = runFlasher(QStringList{"--station", "--yes", "--json", image} + line,
                             {"LUMORA_EMULATOR=0", "LUMORA_EMULATOR_NO_WAITS=1",
                              "LUMORA_EMULATOR_PLUG=" + plugs.join(',')},
                             [&](const FlasherRun &run, double seconds) {
                                 int away = 0, back = 0;
                                 for (const auto &e : run.events)
                                     if (e.second["event"].toString() == "record_db") {
                                         away += e.second["state"].toString() == "away";
                                         back += e.second["state"].toString() == "back";
                                     }
                                 return (run.at("result").size() >= StationWidgets && outagesOver && away == back)
                                        || seconds > 120;
                             });
    });
    for (int i = 0; i < Outages; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));
        stopOrStart(bench, false);
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));
        stopOrStart(bench, true);
    }
    outagesOver = true;
    flasher.join();
    int away = 0;
    QSet<QString> reported;
    for (const auto &e : station.events) {
        away += e.second["event"].toString() == "record_db" && e.second["state"].toString() == "away";
        if (e.second["event"].toString() == "result")
            reported << e.second["attempt_id"].toString();
    }
    const int pending = station.events.isEmpty() ? -1 : station.events.last().second["records_pending"].toInt();
    const FlasherRun sync = runFlasher(QStringList{"--sync", "--json"} + line, {});
    const QStringList table =
        bench.server.query(database, "SELECT attempt_id, count(*) FROM lumora_attempts GROUP BY 1");
    int doubled = 0;
    QSet<QString> found;
    for (const QString &row : table) {
        found << row.section('|', 0, 0);
        doubled += row.section('|', 1) != QLatin1String("1");
    }
    std::printf("station outage run: %d widgets flashed in %.1f s (exit %d) while the server was stopped and started"
                " %d times (%d outages reported); %d rows waited at the end, then --sync (exit %d); %d rows in the"
                " table, %d missing, %d doubled, %d never reported\n",
                int(reported.size()), station.wallSeconds, station.exitCode, Outages, away, pending, sync.exitCode,
                int(table.size()), int((reported - found).size()), doubled, int((found - reported).size()));
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir temporary;
    Bench bench;
    bench.spoolDirectory = argc > 1 ? QString::fromLocal8Bit(argv[1]) : temporary.path();
    QString error;
    if (!bench.server.start(&error))
        qFatal("%s", qPrintable(error));
    std::printf("spools in %s; the server syncs its commits\n", qPrintable(bench.spoolDirectory));

    {
        auto away = bench.recorder(QStringLiteral("host=%1/none dbname=none").arg(temporary.path()));
        printAdds("with the server away", addRows(*away, 1000));
    }
    {
        auto up = bench.recorder();
        printAdds("with the server up", addRows(*up, 1000));
        up->sync(60000);
    }
    {
        auto recorder = bench.recorder();
        QVector<QVector<double>> micros(AdderThreads);
        std::vector<std::thread> adders;
        QElapsedTimer clock;
        clock.start();
        for (int t = 0; t < AdderThreads; ++t)
            adders.emplace_back([&, t] { micros[t] = addRows(*recorder, RowsPerAdder); });
        for (std::thread &adder : adders)
            adder.join();
        const double added = clock.nsecsElapsed() / 1e9;
        const int left = recorder->sync(120000);
        const double delivered = clock.nsecsElapsed() / 1e9;
        QVector<double> all;
        for (const QVector<double> &m : micros)
            all += m;
        std::printf("%d threads adding %d rows each: all added in %.2f s, all in the table after %.2f s: %.0f rows/s"
                    " (%d left; table: %s)\n",
                    AdderThreads, RowsPerAdder, added, delivered, AdderThreads * RowsPerAdder / delivered, left,
                    qPrintable(bench.rowsIn().join(' ')));
        printAdds("from 64 threads at once", all);
    }
    {
        auto recorder = bench.recorder();
        stopOrStart(bench, false);
        QElapsedTimer clock;
        clock.start();
        addRows(*recorder, ReplayRows);
        const double spooled = clock.nsecsElapsed() / 1e9;
        stopOrStart(bench, true);
        clock.restart();
        const int left = recorder->sync(120000);
        const double replayed = clock.nsecsElapsed() / 1e9;
        std::printf("%d rows spooled while the server was away in %.2f s; replayed in %.2f s once it was back:"
                    " %.0f rows/s (%d left; table: %s)\n",
                    ReplayRows, spooled, replayed, ReplayRows / replayed, left, qPrintable(bench.rowsIn().join(' ')));
    }
    flasherFigures(bench, temporary.path());
    stationOutages(bench, temporary.path());
    return 0;
}

// Figures of the line's record against a PostgreSQL server of its own, which
// syncs its commits as a line's server does:
//  - add() per row (the spool's commit) with the server away and with it up;
//  - rows per second into the table from 64 threads adding at once;
//  - the replay of 10,000 spooled rows once the server is back;
//  - an outage run: adders while the server is stopped and started several
//    times, then every row checked to be in the table exactly once.
//   bench_linerecord [SPOOL-DIRECTORY]   (default: a temporary directory)
#include "linerecorder.h"
#include "linetestsupport.h"

#include <QElapsedTimer>
#include <QSet>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <thread>

namespace {

constexpr int AdderThreads = 64;
constexpr int RowsPerAdder = 100;
constexpr int ReplayRows = 10000;
constexpr int Outages = 5;

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
    {
        auto recorder = bench.recorder();
        const int outagesBefore = bench.outages;
        QVector<QStringList> ids(4);
        std::vector<std::thread> adders;
        std::atomic<bool> adding{true};
        for (int t = 0; t < ids.size(); ++t)
            adders.emplace_back([&, t] {
                while (adding)
                    addRows(*recorder, 1, &ids[t], 10);
            });
        for (int i = 0; i < Outages; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            stopOrStart(bench, false);
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            stopOrStart(bench, true);
        }
        adding = false;
        for (std::thread &adder : adders)
            adder.join();
        QElapsedTimer clock;
        clock.start();
        const int left = recorder->sync(120000);
        QSet<QString> added;
        int count = 0;
        for (const QStringList &list : ids) {
            count += list.size();
            added += QSet<QString>(list.begin(), list.end());
        }
        const QStringList table =
            bench.server.query(bench.database(), "SELECT attempt_id, count(*) FROM lumora_attempts GROUP BY 1");
        int doubled = 0;
        QSet<QString> found;
        for (const QString &row : table) {
            found << row.section('|', 0, 0);
            doubled += row.section('|', 1) != QLatin1String("1");
        }
        std::printf("outage run: %d rows added by %d threads while the server was stopped and started %d times"
                    " (%d outages reported); the rest delivered %.2f s after the end: %d left in the spool,"
                    " %d rows in the table, %d missing, %d doubled, %d not added\n",
                    count, int(ids.size()), Outages, bench.outages - outagesBefore, clock.nsecsElapsed() / 1e9, left,
                    int(table.size()), int((added - found).size()), doubled, int((found - added).size()));
    }
    return 0;
}

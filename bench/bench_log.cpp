// Time per log line through the real handler and panel, for the first and
// the last thousand lines of logs of 1,000 and 100,000 lines.
//   QT_QPA_PLATFORM=offscreen LUMORA_EMULATOR=0 ./bench_log
#include "mainwindowpro.h"

#include <QApplication>
#include <QElapsedTimer>

#include <cstdio>

static double microsecondsPerLine(int from, int to)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = from; i < to; ++i)
        qDebug("\n\t\t  log line %d of the benchmark: D2XX Driver Version:: 01.05.00", i);
    return double(timer.nsecsElapsed()) / 1000.0 / double(to - from);
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    for (int total : {1000, 100000}) {
        MainWindowPro window;
        window.show();
        app.processEvents();
        const double first = microsecondsPerLine(0, 1000);
        if (total > 2000)
            microsecondsPerLine(1000, total - 1000);
        const double last = total > 1000 ? microsecondsPerLine(total - 1000, total) : first;
        std::fprintf(stderr, "%7d lines: first thousand %.1f us/line, last thousand %.1f us/line\n", total, first, last);
    }
    return 0;
}

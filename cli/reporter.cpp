#include "reporter.h"
#include "exitcodes.h"
#include "terminal.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonDocument>

#include <cstdio>
#include <mutex>


namespace {

// One lock for everything written to standard output, standard error and
// the record, so that lines of different widgets never mix.
std::mutex gOutputLock;
bool gVerbose = false;
thread_local QString tLogTag;
// Lines of the board on screen below the last other line of standard error.
int gBoardDrawn = 0;

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (!gVerbose && (type == QtDebugMsg || type == QtInfoMsg))
        return;
    const QString line = (tLogTag.isEmpty() ? QString() : tLogTag + QStringLiteral(": ")) + message.simplified();
    std::lock_guard<std::mutex> lock(gOutputLock);
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
    gBoardDrawn = 0;
}

int tenth(int sent, int total)
{
    return total > 0 ? sent * 10 / total : 10;
}

QString progressText(int sent, int total)
{
    return QStringLiteral("page %1 of %2 (%3%)").arg(sent).arg(total).arg(total > 0 ? sent * 100 / total : 100);
}

QString csvField(QString text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n')))
        return text;
    return QLatin1Char('"') + text.replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
}

} // namespace

void installFlasherMessageHandler(bool verbose)
{
    gVerbose = verbose;
    qInstallMessageHandler(messageHandler);
}

void setLogTag(const QString &tag)
{
    tLogTag = tag;
}

void printError(const QString &text)
{
    std::lock_guard<std::mutex> lock(gOutputLock);
    std::fprintf(stderr, "lumora-flash: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
    gBoardDrawn = 0;
}

Reporter::Reporter(const Options &options)
    : m_options(options)
    , m_terminal(isTerminal(stderr))
{
}

void Reporter::writeLine(std::FILE *stream, const QString &line)
{
    std::fprintf(stream, "%s\n", line.toLocal8Bit().constData());
    if (std::fflush(stream) != 0 || std::ferror(stream)) {
        if (stream == stdout)
            m_outputFailed = true;
    }
    if (stream == stderr)
        gBoardDrawn = 0;
}

bool Reporter::openRecord()
{
    if (m_options.recordPath.isEmpty())
        return true;
    m_record.setFileName(m_options.recordPath);
    const QByteArray header = "utc_time,serial,description,firmware_before,image_file,image_version,"
                              "image_sha256,pages,pages_refused,outcome\n";
    // Appending only: earlier lines are never rewritten.
    if (m_record.open(QIODevice::WriteOnly | QIODevice::Append)
        && (m_record.size() > 0 || (m_record.write(header) == header.size() && m_record.flush())))
        return true;
    printError(QStringLiteral("cannot write the record %1: %2; nothing was flashed")
                   .arg(m_options.recordPath, m_record.errorString()));
    return false;
}

void Reporter::recordLine(const WidgetRun &run)
{
    if (!m_record.isOpen() || !run.started)
        return;
    const QStringList fields = {
        QDateTime::currentDateTimeUtc().toString(Qt::ISODate),
        run.shownSerial(),
        run.description,
        run.firmwareBefore,
        QFileInfo(m_options.imagePath).fileName(),
        m_options.imageVersion,
        QString::fromLatin1(m_options.imageSha256),
        QString::number(run.pagesSent),
        QString::number(run.pagesRefused),
        QString::fromLatin1(outcomeName(run.result)),
    };
    QStringList escaped;
    for (const QString &field : fields)
        escaped << csvField(field);
    const QByteArray line = escaped.join(QLatin1Char(',')).toUtf8() + '\n';
    if (m_record.write(line) != line.size() || !m_record.flush()) {
        if (!m_outputFailed)
            std::fprintf(stderr, "lumora-flash: cannot write the record %s: %s\n",
                         m_options.recordPath.toLocal8Bit().constData(),
                         m_record.errorString().toLocal8Bit().constData());
        m_outputFailed = true;
    }
}

void Reporter::json(const QJsonObject &event)
{
    if (m_options.json)
        writeLine(stdout, QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact)));
}

void Reporter::showBoard(const QVector<WidgetRun> &runs)
{
    if (!m_terminal || m_options.mode != Mode::AllWidgets)
        return;
    std::lock_guard<std::mutex> lock(gOutputLock);
    m_board.clear();
    for (const WidgetRun &run : runs)
        m_board << QStringLiteral("%1  opening").arg(run.shownSerial(), -16);
    drawBoard(true);
}

void Reporter::drawBoard(bool always)
{
    if (!always && m_boardDrawn.isValid() && m_boardDrawn.elapsed() < 100)
        return;
    m_boardDrawn.start();
    if (gBoardDrawn > 0)
        std::fprintf(stderr, "\033[%dA", gBoardDrawn);
    for (const QString &line : qAsConst(m_board))
        std::fprintf(stderr, "\r\033[K%s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
    gBoardDrawn = m_board.size();
}

void Reporter::opened(const WidgetRun &run)
{
    std::lock_guard<std::mutex> lock(gOutputLock);
    json({{"event", "start"}, {"index", run.index}, {"serial", run.shownSerial()},
          {"description", run.description}, {"firmware_before", run.firmwareBefore}});
}

void Reporter::pageSent(const WidgetRun &run, int pagesSent, int pageCount)
{
    std::lock_guard<std::mutex> lock(gOutputLock);
    const QString serial = run.shownSerial();
    int &last = m_lastTenth[run.index];
    if (pagesSent == 1)
        last = 0;
    const bool newTenth = tenth(pagesSent, pageCount) != last || pagesSent == pageCount;
    last = tenth(pagesSent, pageCount);
    if (!m_board.isEmpty()) {
        m_board[run.index] = QStringLiteral("%1  %2").arg(serial, -16).arg(progressText(pagesSent, pageCount));
        drawBoard(false);
    } else if (m_options.mode == Mode::OneWidget && m_terminal) {
        std::fprintf(stderr, "\r%s%s", progressText(pagesSent, pageCount).toLocal8Bit().constData(),
                     pagesSent == pageCount ? "\n" : "");
        std::fflush(stderr);
    } else if (newTenth) {
        writeLine(stderr, (m_options.mode == Mode::OneWidget ? QString() : serial + QStringLiteral(": "))
                              + progressText(pagesSent, pageCount));
    }
    if (newTenth)
        json({{"event", "progress"}, {"index", run.index}, {"serial", serial}, {"pages_sent", pagesSent},
              {"pages_total", pageCount}});
}

void Reporter::finished(const WidgetRun &run)
{
    std::lock_guard<std::mutex> lock(gOutputLock);
    QJsonObject event{{"event", "result"}, {"index", run.index}, {"serial", run.shownSerial()},
                      {"outcome", outcomeName(run.result)}, {"pages_sent", run.pagesSent},
                      {"pages_total", run.pageCount}, {"pages_refused", run.pagesRefused},
                      {"seconds", qRound(run.seconds * 1000) / 1000.0}};
    if (!run.message.isEmpty())
        event.insert("message", run.message);
    json(event);
    recordLine(run);
    if (!m_board.isEmpty()) {
        m_board[run.index] = QStringLiteral("%1  %2").arg(run.shownSerial(), -16).arg(outcomeText(run.result));
        drawBoard(true);
    }
    if (m_options.mode == Mode::Station) {
        QString line = QStringLiteral("%1  %2  %3 of %4 pages, %5 refused, %6 s")
                           .arg(run.shownSerial(), outcomeText(run.result))
                           .arg(run.pagesSent).arg(run.pageCount).arg(run.pagesRefused)
                           .arg(run.seconds, 0, 'f', 1);
        if (!run.message.isEmpty())
            line += QStringLiteral(": ") + run.message;
        writeLine(m_options.json ? stderr : stdout, line);
    } else if (m_options.mode == Mode::OneWidget && run.result == WidgetResult::Done) {
        writeLine(stderr, QStringLiteral("%1 pages written").arg(run.pageCount));
    }
}

void Reporter::summary(const QVector<WidgetRun> &runs, int exitCode)
{
    int succeeded = 0;
    for (const WidgetRun &run : runs)
        succeeded += run.result == WidgetResult::Done;
    if (m_options.mode != Mode::OneWidget) {
        std::lock_guard<std::mutex> lock(gOutputLock);
        std::FILE *stream = m_options.json ? stderr : stdout;
        writeLine(stream, QStringLiteral("%1  %2  %3  %4  %5")
                              .arg(QStringLiteral("serial"), -16).arg(QStringLiteral("firmware before"), -15)
                              .arg(QStringLiteral("result"), -13).arg(QStringLiteral("pages refused"), 13)
                              .arg(QStringLiteral("seconds"), 7));
        for (const WidgetRun &run : runs) {
            writeLine(stream, QStringLiteral("%1  %2  %3  %4  %5")
                                  .arg(run.shownSerial(), -16).arg(run.firmwareBefore, -15)
                                  .arg(outcomeText(run.result), -13).arg(run.pagesRefused, 13)
                                  .arg(run.seconds, 7, 'f', 1));
        }
        writeLine(stream, QStringLiteral("%1 of %2 widgets updated").arg(succeeded).arg(runs.size()));
    }
    std::lock_guard<std::mutex> lock(gOutputLock);
    json({{"event", "end"}, {"widgets", runs.size()}, {"succeeded", succeeded}, {"exit", exitCode}});
}

void Reporter::device(int index, const QString &description, const QString &serial)
{
    std::lock_guard<std::mutex> lock(gOutputLock);
    json({{"event", "device"}, {"index", index}, {"description", description}, {"serial", serial}});
}

void Reporter::end(int widgets, int exitCode)
{
    std::lock_guard<std::mutex> lock(gOutputLock);
    json({{"event", "end"}, {"widgets", widgets}, {"exit", exitCode}});
}

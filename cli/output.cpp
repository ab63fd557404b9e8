#include "output.h"
#include "linerecorder.h"
#include "record.h"
#include "standardstreams.h"
#include "terminal.h"
#include "widgetjob.h"

#include <QLoggingCategory>

#include <atomic>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace output {

namespace {

struct Item
{
    Channel channel;
    Kind kind;
    QByteArray text;
    QStringList board;
    QJsonObject row; // Record: for the line's table
};

struct Writer
{
    std::mutex lock;
    std::condition_variable changed;
    std::deque<Item> queue;
    bool busy = false; // an item is being written
    bool running = false; // from start() on
    std::thread thread;

    RecordFile *record = nullptr;
    LineRecorder *lineRecorder = nullptr;
    std::function<void(const QString &)> onRecordFailed;
    std::atomic<bool> stdoutBroken{false};
    bool stdoutClosed = false; // from the start: set before any thread
    std::atomic<bool> recordBroken{false};

    // Only the writing thread touches these.
    bool lineOpen = false; // a progress line without its newline yet
    int boardShown = 0;    // lines of the board below the last other line

    void write(const Item &item);
    void loop();
};

// Standard output and error on one thread, the record on another: a reader
// that does not read holds the record's rows up in no way.
Writer &writer(Channel channel = Channel::Out)
{
    static Writer *const streams = new Writer; // outlives every thread that posts
    static Writer *const record = new Writer;
    return channel == Channel::Record ? *record : *streams;
}

bool gVerbose = false;
thread_local QString tLogTag;

void Writer::write(const Item &item)
{
    if (item.channel == Channel::Record) {
        if (recordBroken.load())
            return;
        QString why;
        QStringList what;
        if (lineRecorder && !item.row.isEmpty() && !lineRecorder->add(item.row, &why))
            what << QStringLiteral("the spool %1: %2").arg(printablePath(lineRecorder->spoolPath()), why);
        if (record && !record->append(item.text, &why))
            what << QStringLiteral("the record: %1").arg(why);
        if (!what.isEmpty()) {
            recordBroken.store(true);
            if (onRecordFailed)
                onRecordFailed(what.join(QStringLiteral("; ")));
        }
        return;
    }
    std::FILE *stream = item.channel == Channel::Out ? stdout : stderr;
    if (item.kind == Kind::Board) {
        if (boardShown > 0)
            std::fprintf(stderr, "\033[%dA", boardShown);
        for (const QString &line : item.board)
            std::fprintf(stderr, "\r\033[K%s\n", line.toLocal8Bit().constData());
        boardShown = item.board.size();
        lineOpen = false;
    } else if (item.kind == Kind::Progress) {
        std::fprintf(stderr, "\r\033[K%s", item.text.constData());
        lineOpen = true;
    } else {
        // A line of its own, never the tail of a progress line.
        if (lineOpen) {
            std::fputc('\n', stderr);
            std::fflush(stderr);
            lineOpen = false;
        }
        std::fprintf(stream, "%s\n", item.text.constData());
        if (stream == stderr)
            boardShown = 0;
    }
    const bool failed = std::fflush(stream) != 0 || std::ferror(stream) || (stream == stdout && stdoutClosed);
    if (failed && stream == stdout && !stdoutBroken.exchange(true)) {
        // Said where it can still be read, once: a reader that went away
        // (a closed pipe) or a full disk makes the run end with 10.
        const QByteArray why = stdoutClosed ? QByteArray("it was closed when the flasher started")
                                            : QByteArray(std::strerror(errno));
        std::fprintf(stderr, "lumora-flash: standard output could not be written (%s): the rest of it is lost;"
                             " the widgets go on\n",
                     why.constData());
        std::fflush(stderr);
    }
}

void Writer::loop()
{
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        // It runs until the process ends; drain() is how the end waits for it.
        changed.wait(guard, [&] { return !queue.empty(); });
        Item item = std::move(queue.front());
        queue.pop_front();
        busy = true;
        guard.unlock();
        write(item);
        guard.lock();
        busy = false;
        changed.notify_all();
    }
}

void enqueue(Item item)
{
    Writer &w = writer(item.channel);
    std::unique_lock<std::mutex> guard(w.lock);
    if (!w.running) {
        // Before the writer starts: written at once, one line at a time.
        guard.unlock();
        static std::mutex direct;
        std::lock_guard<std::mutex> once(direct);
        w.write(item);
        return;
    }
    const bool droppable = item.kind != Kind::Line;
    if (item.kind == Kind::Board && !w.queue.empty() && w.queue.back().kind == Kind::Board)
        w.queue.back() = std::move(item);
    else if (!droppable || int(w.queue.size()) < QueueLimit)
        w.queue.push_back(std::move(item));
    w.changed.notify_all();
}

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    // Qt's own warnings (a file it could not seek, say) are no news for the
    // user; the program's are.
    const bool ours = context.category && qstrncmp(context.category, "lumora.", 7) == 0;
    if (!gVerbose && (type == QtDebugMsg || type == QtInfoMsg || !ours))
        return;
    post(Channel::Err, (tLogTag.isEmpty() ? QString() : tLogTag + QStringLiteral(": ")) + message.simplified());
}

} // namespace

void start(RecordFile *record, LineRecorder *lineRecorder, std::function<void(const QString &)> recordFailed)
{
    for (Writer *w : {&writer(Channel::Out), &writer(Channel::Record)}) {
        std::lock_guard<std::mutex> guard(w->lock);
        w->record = record;
        w->lineRecorder = lineRecorder;
        w->onRecordFailed = recordFailed;
        w->running = true;
        w->thread = std::thread([w] { w->loop(); });
    }
}

void post(Channel channel, const QString &text, Kind kind)
{
    enqueue({channel, kind, text.toLocal8Bit(), {}, {}});
}

void postRecord(const QByteArray &line, const QJsonObject &row)
{
    enqueue({Channel::Record, Kind::Line, line, {}, row});
}

void postBoard(const QStringList &lines)
{
    enqueue({Channel::Err, Kind::Board, QByteArray(), lines, {}});
}

void drain(const std::function<bool()> &giveUp)
{
    // The record first: its rows must not wait for a reader of standard output.
    for (Writer *w : {&writer(Channel::Record), &writer(Channel::Out)}) {
        std::unique_lock<std::mutex> guard(w->lock);
        while (!w->changed.wait_for(guard, std::chrono::milliseconds(100), [&] { return w->queue.empty() && !w->busy; }))
            if (giveUp && giveUp())
                return;
    }
}

void guardStandardStreams()
{
    if (lumora::reopenClosedStandardStreams() & 2)
        writer(Channel::Out).stdoutClosed = true;
}

bool stdoutFailed()
{
    return writer(Channel::Out).stdoutBroken.load();
}

bool recordFailed()
{
    return writer(Channel::Record).recordBroken.load();
}

void printError(const QString &text)
{
    post(Channel::Err, QStringLiteral("lumora-flash: ") + text);
}

void installMessageHandler(bool verbose)
{
    gVerbose = verbose;
    qInstallMessageHandler(messageHandler);
}

void setLogTag(const QString &tag)
{
    tLogTag = tag;
}

} // namespace output

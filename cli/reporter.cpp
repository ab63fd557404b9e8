#include "reporter.h"
#include "output.h"
#include "terminal.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QMap>

using output::Channel;

namespace {

int tenth(int sent, int total)
{
    return total > 0 ? sent * 10 / total : 10;
}

QString progressText(int sent, int total)
{
    return QStringLiteral("page %1 of %2 (%3%)").arg(sent).arg(total).arg(total > 0 ? sent * 100 / total : 100);
}

// A value of the line's table as the flasher prints it. The flasher wrote
// its texts printable already; whatever else wrote the table is made so.
QString shownValue(const QJsonValue &value)
{
    if (value.isNull() || value.isUndefined())
        return QStringLiteral("-");
    QString text = value.isString() ? value.toString() : value.toVariant().toString(), raw;
    return printable(textFromPrintable(text, &raw) ? raw : text);
}

QString historyLine(const QString &time, const QString &station, const QString &serial, const QString &firmware,
                    const QString &outcome, const QString &verify)
{
    return QStringLiteral("%1  %2  %3  %4  %5  %6")
        .arg(time, -20).arg(station, -12).arg(serial, -16).arg(firmware, -14).arg(outcome, -17).arg(verify);
}

class HumanWriter : public ReportWriter
{
public:
    explicit HumanWriter(RunMode mode, bool json) : m_mode(mode), m_json(json), m_terminal(isTerminal(stderr)) {}

    void showBoard(const QVector<WidgetRun> &runs)
    {
        if (!m_terminal || m_mode != RunMode::AllWidgets || runs.size() >= terminalRows(stderr) - 1)
            return;
        for (const WidgetRun &run : runs)
            m_board[run.index] = QStringLiteral("%1  opening").arg(run.shownName(), -16);
        output::postBoard(m_board.values());
    }

    void write(const ReportEvent &e) override
    {
        switch (e.type) {
        case ReportEvent::Progress: progress(e.run, e.pagesSent); break;
        case ReportEvent::Result: result(e.run); break;
        case ReportEvent::Note: output::post(Channel::Err, e.text); break;
        case ReportEvent::Warning:
        case ReportEvent::Error: output::printError(e.text); break;
        case ReportEvent::Summary: summary(e); break;
        case ReportEvent::Device:
            if (!m_json)
                output::post(Channel::Out, QStringLiteral("%1\t%2\t%3").arg(e.index).arg(e.text, e.serial));
            break;
        case ReportEvent::Board: showBoard(e.runs); break;
        case ReportEvent::LineRecord: output::printError(e.text); break;
        case ReportEvent::Attempt:
            if (!m_json)
                attempt(e.fields);
            break;
        case ReportEvent::Start:
            if (e.run.recover && !e.run.identified && !e.run.recoveryReason.isEmpty())
                output::post(Channel::Err, QStringLiteral("%1: recovered without --recover: %2")
                                               .arg(e.run.shownName(), e.run.recoveryReason));
            break;
        case ReportEvent::End:
            if (!e.text.isEmpty())
                output::printError(e.text);
            break;
        }
    }

private:
    // --history: newest first, under a header.
    void attempt(const QJsonObject &row)
    {
        if (!m_historyHeader)
            output::post(Channel::Out, historyLine(QStringLiteral("time (UTC)"), QStringLiteral("station"),
                                                   QStringLiteral("serial"), QStringLiteral("firmware"),
                                                   QStringLiteral("outcome"), QStringLiteral("verify")));
        m_historyHeader = true;
        const QDateTime time = QDateTime::fromString(row.value("utc_time").toString(), Qt::ISODate);
        const QString shownTime =
            time.isValid() ? time.toUTC().toString(Qt::ISODate) : shownValue(row.value("utc_time"));
        output::post(Channel::Out,
                     historyLine(shownTime,
                                 shownValue(row.value("station")), shownValue(row.value("serial")),
                                 shownValue(row.value("firmware_before")) + QStringLiteral(" -> ")
                                     + shownValue(row.value("firmware_after")),
                                 shownValue(row.value("outcome")).replace(QLatin1Char('_'), QLatin1Char(' ')),
                                 shownValue(row.value("verify"))));
    }

    void progress(const WidgetRun &run, int sent)
    {
        int &last = m_lastTenth[run.index];
        if (sent == 1)
            last = 0;
        const bool newTenth = tenth(sent, run.pageCount) != last || sent == run.pageCount;
        last = tenth(sent, run.pageCount);
        const QString text = progressText(sent, run.pageCount);
        if (!m_board.isEmpty()) {
            m_board[run.index] = QStringLiteral("%1  %2").arg(run.shownName(), -16).arg(text);
            output::postBoard(m_board.values());
        } else if (m_mode == RunMode::OneWidget && m_terminal) {
            output::post(Channel::Err, text, output::Kind::Progress);
        } else if (newTenth) {
            output::post(Channel::Err,
                         (m_mode == RunMode::OneWidget ? QString() : run.shownName() + QStringLiteral(": ")) + text);
        }
    }

    void result(const WidgetRun &run)
    {
        if (!m_board.isEmpty()) {
            m_board[run.index] = QStringLiteral("%1  %2").arg(run.shownName(), -16).arg(outcomeText(run.result));
            output::postBoard(m_board.values());
        }
        if (m_mode == RunMode::Station) {
            QString line = QStringLiteral("%1  %2  %3 of %4 pages, %5 refused, %6 s")
                               .arg(run.shownName(), outcomeText(run.result))
                               .arg(run.pagesSent).arg(run.pageCount).arg(run.pagesRefused)
                               .arg(run.seconds, 0, 'f', 1);
            if (!run.firmwareAfter.isEmpty())
                line += QStringLiteral(", reports %1 (%2)").arg(run.firmwareAfter, QLatin1String(verifyName(run.verify)));
            if (!run.message.isEmpty())
                line += QStringLiteral(": ") + run.message;
            output::post(m_json ? Channel::Err : Channel::Out, line);
        } else if (m_mode == RunMode::OneWidget) {
            if (run.result == WidgetResult::Done) {
                output::post(Channel::Err, QStringLiteral("%1 pages written").arg(run.pageCount));
                output::post(Channel::Err, verificationText(run));
            } else if (!run.message.isEmpty() && !run.messageLogged) {
                output::printError(run.message);
            }
        } else if (!run.message.isEmpty() && !run.messageLogged) {
            output::printError(run.shownName() + QStringLiteral(": ") + run.message);
        }
    }

    static QString verificationText(const WidgetRun &run)
    {
        switch (run.verify) {
        case Verify::Verified:
            return QStringLiteral("verified: after its restart the widget reports firmware %1").arg(run.firmwareAfter);
        case Verify::Unchecked:
            return QStringLiteral("not compared: after its restart the widget reports firmware %1, and the image's"
                                  " version line is not M.N")
                .arg(run.firmwareAfter);
        default:
            return QStringLiteral("not verified after the restart (--no-verify)");
        }
    }

    void summary(const ReportEvent &e)
    {
        const QVector<WidgetRun> &runs = e.runs;
        if (m_mode != RunMode::AllWidgets && m_mode != RunMode::Station)
            return;
        const Channel channel = m_json ? Channel::Err : Channel::Out;
        output::post(channel, QStringLiteral("%1  %2  %3  %4  %5  %6")
                                  .arg(QStringLiteral("serial"), -16).arg(QStringLiteral("firmware before"), -15)
                                  .arg(QStringLiteral("firmware after"), -14).arg(QStringLiteral("result"), -13)
                                  .arg(QStringLiteral("pages refused"), 13).arg(QStringLiteral("seconds"), 7));
        for (const WidgetRun &run : runs)
            output::post(channel, QStringLiteral("%1  %2  %3  %4  %5  %6")
                                      .arg(run.shownName(), -16)
                                      .arg(run.identified ? run.firmwareBefore : QStringLiteral("-"), -15)
                                      .arg(run.firmwareAfter.isEmpty() ? QStringLiteral("-") : run.firmwareAfter, -14)
                                      .arg(outcomeText(run.result), -13).arg(run.pagesRefused, 13)
                                      .arg(run.seconds, 7, 'f', 1));
        output::post(channel, QStringLiteral("%1 of %2 widgets updated").arg(e.succeeded).arg(e.widgets));
    }

    RunMode m_mode;
    bool m_json;
    bool m_terminal;
    QMap<int, QString> m_board;  // by widget index
    QMap<int, int> m_lastTenth;  // by widget index: the tenth of its pages reached
    bool m_historyHeader = false;
};

// The JSON events: the name each event has on the wire, when it comes, and
// the fields that are not a widget's (those of start and result come from
// the record's column table).
struct JsonEvent
{
    ReportEvent::Type type;
    const char *name;
    const char *when;
    const char *fields;
};

const JsonEvent JsonEvents[] = {
    {ReportEvent::Device, "device", "with `--list`, one a widget", "`index`, `description`, `serial`"},
    {ReportEvent::Start, "start", "a widget is opened: identified, or about to be recovered", nullptr},
    {ReportEvent::Progress, "progress", "at most at every tenth of a widget's pages",
     "`index`, `serial`, `pages_sent`, `pages_total`"},
    {ReportEvent::Result, "result", "a widget's attempt ended", nullptr},
    {ReportEvent::Warning, "warning", "something to know in a run that goes on (twins, a record made anew)",
     "`message`"},
    {ReportEvent::Error, "error", "what ended the run early, or a record that could not be written", "`message`"},
    {ReportEvent::LineRecord, "record_db",
     "with `--record-db`: the line's database went away (once an outage), took rows again, or refused a row",
     "`state` (`away`, `back`, `row_refused`), `address` (its password as `***`), `reason`"},
    {ReportEvent::Attempt, "attempt", "with `--history`: one attempt from the line's database, newest first",
     "every record column, `received_at`"},
    {ReportEvent::End, "end", "always the last line",
     "`widgets`, `succeeded` (updates), `exit` (the process's exit code), `records_pending` (with --record-db:"
     " this run's rows still in the spool)"},
};

const char *eventName(ReportEvent::Type type)
{
    for (const JsonEvent &e : JsonEvents)
        if (e.type == type)
            return e.name;
    return nullptr;
}

class JsonWriter : public ReportWriter
{
public:
    explicit JsonWriter(const RunFacts &facts) : m_facts(facts) {}

    void write(const ReportEvent &e) override
    {
        QJsonObject event;
        switch (e.type) {
        case ReportEvent::Device:
            event = {{"index", e.index}, {"description", e.text}, {"serial", e.serial}};
            break;
        case ReportEvent::Start:
            event = jsonFields(e.run, m_facts, true);
            break;
        case ReportEvent::Progress:
            // A line at each tenth, as for people who do not watch a terminal.
            if (tenth(e.pagesSent, e.run.pageCount) == m_lastTenth.value(e.run.index, -1)
                && e.pagesSent != e.run.pageCount)
                return;
            m_lastTenth[e.run.index] = tenth(e.pagesSent, e.run.pageCount);
            event = {{"index", e.run.index}, {"serial", e.run.shownSerial()}, {"pages_sent", e.pagesSent},
                     {"pages_total", e.run.pageCount}};
            break;
        case ReportEvent::Result:
            event = jsonFields(e.run, m_facts);
            event.insert("pages_total", e.run.pageCount);
            if (!e.run.message.isEmpty())
                event.insert("message", e.run.message);
            break;
        case ReportEvent::Warning:
        case ReportEvent::Error:
            event = {{"message", e.text}};
            break;
        case ReportEvent::LineRecord:
        case ReportEvent::Attempt:
            event = e.fields;
            break;
        case ReportEvent::End:
            event = {{"widgets", e.widgets}, {"exit", e.exitCode}};
            if (e.succeeded >= 0)
                event.insert("succeeded", e.succeeded);
            if (e.recordsPending)
                event.insert("records_pending", *e.recordsPending >= 0 ? QJsonValue(*e.recordsPending)
                                                                       : QJsonValue(QJsonValue::Null));
            break;
        case ReportEvent::Note:
        case ReportEvent::Board:
        case ReportEvent::Summary: return;
        }
        event.insert("event", eventName(e.type));
        output::post(Channel::Out, QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact)));
    }

private:
    const RunFacts &m_facts;
    QMap<int, int> m_lastTenth;
};

class RecordWriter : public ReportWriter
{
public:
    RecordWriter(const RunFacts &facts, int columns, bool rows) : m_facts(facts), m_columns(columns), m_rows(rows) {}

    void write(const ReportEvent &e) override
    {
        if (e.type == ReportEvent::Result)
            output::postRecord(m_columns > 0 ? recordLine(e.run, m_facts, m_columns) : QByteArray(),
                               m_rows ? recordRow(e.run, m_facts) : QJsonObject());
    }

private:
    const RunFacts &m_facts;
    int m_columns;
    bool m_rows;
};

} // namespace

Reporter::Reporter(RunMode mode, bool json)
{
    m_writers.push_back(std::make_unique<HumanWriter>(mode, json));
    if (json)
        m_writers.push_back(std::make_unique<JsonWriter>(m_facts));
}

Reporter::~Reporter() = default;

void Reporter::useRecord(int columns, bool rows)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_writers.push_back(std::make_unique<RecordWriter>(m_facts, columns, rows));
}

void Reporter::start(RecordFile *record, LineRecorder *lineRecorder)
{
    output::start(record, lineRecorder, [this](const QString &what) {
        error(QStringLiteral("cannot write %1; no new widget is started").arg(what));
    });
}

void Reporter::publish(const ReportEvent &event)
{
    std::lock_guard<std::mutex> lock(m_lock);
    for (const auto &writer : m_writers)
        writer->write(event);
}

namespace {

// An event and the one field most of them carry.
ReportEvent eventOf(ReportEvent::Type type, const WidgetRun &run)
{
    ReportEvent e(type);
    e.run = run;
    return e;
}

ReportEvent eventOf(ReportEvent::Type type, const QString &text)
{
    ReportEvent e(type);
    e.text = text;
    return e;
}

ReportEvent eventOf(ReportEvent::Type type, const QVector<WidgetRun> &runs)
{
    ReportEvent e(type);
    e.runs = runs;
    return e;
}

} // namespace

void Reporter::showBoard(const QVector<WidgetRun> &runs)
{
    publish(eventOf(ReportEvent::Board, runs));
}

void Reporter::device(int index, const QString &description, const QString &serial)
{
    ReportEvent e = eventOf(ReportEvent::Device, description);
    e.index = index;
    e.serial = serial;
    publish(e);
}

void Reporter::opened(const WidgetRun &run)
{
    publish(eventOf(ReportEvent::Start, run));
}

void Reporter::pageSent(const WidgetRun &run, int pagesSent)
{
    ReportEvent e = eventOf(ReportEvent::Progress, run);
    e.pagesSent = pagesSent;
    publish(e);
}

void Reporter::finished(const WidgetRun &run)
{
    publish(eventOf(ReportEvent::Result, run));
}

void Reporter::note(const QString &text)
{
    publish(eventOf(ReportEvent::Note, text));
}

void Reporter::warning(const QString &text)
{
    publish(eventOf(ReportEvent::Warning, text));
}

void Reporter::error(const QString &text)
{
    publish(eventOf(ReportEvent::Error, text));
}

void Reporter::summary(const QVector<WidgetRun> &runs, int widgets, int succeeded)
{
    ReportEvent e = eventOf(ReportEvent::Summary, runs);
    e.widgets = widgets;
    e.succeeded = succeeded;
    publish(e);
}

void Reporter::lineRecord(const LineRecorderEvent &event, const QString &address)
{
    const char *state = event.kind == LineRecorderEvent::ServerAway   ? "away"
                        : event.kind == LineRecorderEvent::ServerBack ? "back"
                                                                      : "row_refused";
    ReportEvent e = eventOf(ReportEvent::LineRecord, event.text);
    e.fields = {{"state", state}, {"address", address}};
    if (!event.reason.isEmpty())
        e.fields.insert("reason", event.reason);
    publish(e);
}

void Reporter::attempt(const QJsonObject &row)
{
    ReportEvent e(ReportEvent::Attempt);
    e.fields = row;
    publish(e);
}

void Reporter::end(int exitCode, int widgets, int succeeded, const std::function<bool()> &giveUp,
                   std::optional<int> pending, const QString &pendingText)
{
    ReportEvent e = eventOf(ReportEvent::End, pendingText);
    e.exitCode = exitCode;
    e.widgets = widgets;
    e.succeeded = succeeded;
    e.recordsPending = pending;
    publish(e);
    output::drain(giveUp);
}

QVector<JsonEventDoc> jsonEventDocs()
{
    auto fieldList = [](bool atStart) {
        QStringList names;
        for (const RecordColumnDoc &c : recordColumnDocs())
            if (c.json && (c.atStart || !atStart))
                names << QStringLiteral("`%1`").arg(QLatin1String(c.json));
        return names;
    };
    QVector<JsonEventDoc> docs;
    for (const JsonEvent &e : JsonEvents) {
        QString fields = QLatin1String(e.fields ? e.fields : "");
        if (e.type == ReportEvent::Start)
            fields = fieldList(true).join(QStringLiteral(", "));
        else if (e.type == ReportEvent::Result)
            fields = (fieldList(false) << QStringLiteral("`pages_total`")
                                       << QStringLiteral("`message` (when it did not end `done`)"))
                         .join(QStringLiteral(", "));
        docs << JsonEventDoc{QLatin1String(e.name), QLatin1String(e.when), fields};
    }
    return docs;
}

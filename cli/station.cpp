#include "station.h"
#include "deviceinfo.h"
#include "output.h"

#include <QHash>
#include <QSet>

#include <atomic>
#include <list>
#include <thread>

namespace {

constexpr int ListIntervalMs = 500;
// A signal or a failed record is noticed within this while the station waits.
constexpr int WakeMs = 100;

// One attachment of a widget: a widget pulled out and plugged in again is
// a new one, with a new LocId.
struct Attachment
{
    DWORD location;
    QByteArray serial;
    QString description;
    lumora::DeviceEntry entry;
    bool operator==(const Attachment &o) const { return location == o.location && serial == o.serial; }
};

uint qHash(const Attachment &a, uint seed = 0)
{
    return ::qHash(a.serial, seed) ^ a.location;
}

struct Job
{
    WidgetRun run;
    std::thread thread;
    std::atomic<bool> done{false};
};

} // namespace

WidgetJobHooks hooksFor(Reporter &reporter, int signalsToInterrupt)
{
    WidgetJobHooks hooks;
    hooks.opened = [&reporter](const WidgetRun &run) { reporter.opened(run); };
    hooks.pageSent = [&reporter](const WidgetRun &run, int sent, int) { reporter.pageSent(run, sent); };
    hooks.stopBeforeStart = [] { return signalsReceived() >= 1 || output::recordFailed(); };
    hooks.stopRequested = [signalsToInterrupt] { return signalsReceived() >= signalsToInterrupt; };
    return hooks;
}

Tally tallyOf(const QVector<WidgetRun> &runs, bool perSerial)
{
    // A widget's last attempt decides for it.
    QHash<QString, const WidgetRun *> last;
    for (const WidgetRun &run : runs)
        last[perSerial && !run.sameSerialAsAnother ? QString::fromLatin1(run.serial) : QString::number(run.index)] = &run;
    Tally tally;
    tally.code = ExitDone;
    tally.widgets = last.size();
    const bool recordFailed = output::recordFailed();
    for (const WidgetRun *run : qAsConst(last)) {
        tally.succeeded += run->result == WidgetResult::Done;
        // Widgets held back because the record failed: exit 10 tells it.
        if (!(recordFailed && run->result == WidgetResult::NotStarted))
            tally.code = worseExitCode(tally.code, exitCode(run->result));
    }
    if (recordFailed || output::stdoutFailed())
        tally.code = worseExitCode(tally.code, ExitOutputFailed);
    return tally;
}

Tally runStation(const UpdateContext &context)
{
    Reporter &reporter = context.reporter;
    std::list<Job> jobs;
    QVector<WidgetRun> finished;
    QSet<Attachment> handled;  // attached now, and updated or being updated
    QSet<Attachment> waiting;  // attached, but another with its serial was first
    QSet<Attachment> told;     // widgets without a readable serial, said once
    // The widgets in flight finish after the first signal; a second one
    // interrupts them after their page in flight.
    const WidgetJobHooks hooks = hooksFor(reporter, 2);
    int arrivals = 0;
    reporter.note(QStringLiteral("waiting for widgets; Ctrl-C ends the station"));

    auto reap = [&] {
        for (auto it = jobs.begin(); it != jobs.end();) {
            if (!it->done.load()) {
                ++it;
                continue;
            }
            it->thread.join();
            finished << it->run;
            it = jobs.erase(it);
        }
    };
    auto start = [&](const Attachment &a) {
        handled.insert(a);
        jobs.emplace_back();
        Job &job = jobs.back();
        job.run.index = arrivals++;
        job.run.device = a.entry;
        job.run.arrived = true;
        job.run.serial = a.serial;
        job.run.description = printable(a.description);
        job.run.recover = context.options.recover;
        job.thread = std::thread([&job, &context, &hooks, &reporter] {
            output::setLogTag(job.run.shownSerial());
            flashWidget(job.run, context.image, context.options.imagePath, hooks);
            reporter.finished(job.run);
            job.done.store(true);
        });
    };

    while (signalsReceived() == 0 && !output::recordFailed()) {
        // Waited on below: whatever comes or goes from now on ends the wait.
        const lumora::DeviceList devices = attachedDevices();
        QVector<Attachment> listed;
        for (const lumora::DeviceEntry &entry : devices.entries)
            listed << Attachment{entry.location, entry.serial, deviceText(entry.description), entry};
        const QSet<Attachment> present(listed.cbegin(), listed.cend());
        reap();
        // Pulled out: plugged in again, it is a new attachment and updated again.
        auto busy = [&](const Attachment &a) {
            return std::any_of(jobs.begin(), jobs.end(), [&](const Job &j) {
                return j.run.device.location == a.location && j.run.serial == a.serial;
            });
        };
        for (QSet<Attachment> *set : {&handled, &waiting, &told})
            for (auto it = set->begin(); it != set->end();)
                it = present.contains(*it) || (set == &handled && busy(*it)) ? std::next(it) : set->erase(it);

        for (const Attachment &a : qAsConst(listed)) {
            if (handled.contains(a) || told.contains(a))
                continue;
            if (a.serial.isEmpty()) {
                reporter.error(QStringLiteral("a widget without a readable serial number cannot be told apart from"
                                              " others: not updated"));
                told.insert(a);
                continue;
            }
            const bool twin = std::any_of(handled.cbegin(), handled.cend(),
                                          [&](const Attachment &h) { return h.serial == a.serial; });
            if (twin) {
                if (!waiting.contains(a))
                    reporter.error(QStringLiteral("another widget with serial %1 is attached: the two cannot be told"
                                                  " apart; this one is updated once the other is pulled out")
                                       .arg(printable(deviceText(a.serial))));
                waiting.insert(a);
                continue;
            }
            waiting.remove(a);
            start(a);
        }
        for (int waited = 0; waited < ListIntervalMs && signalsReceived() == 0 && !output::recordFailed();
             waited += WakeMs)
            if (waitForDeviceChange(devices, WakeMs))
                break;
    }
    reap();
    if (!jobs.empty())
        reporter.note(QStringLiteral("stopping: %1 widget(s) in flight finish first (a second Ctrl-C interrupts them)")
                          .arg(jobs.size()));
    for (Job &job : jobs) {
        job.thread.join();
        finished << job.run;
    }
    // Twins that never had their turn: each gets its line, and counts.
    for (const Attachment &a : qAsConst(waiting)) {
        WidgetRun run;
        run.index = arrivals++;
        run.device = a.entry;
        run.arrived = true;
        run.serial = a.serial;
        run.description = printable(a.description);
        run.sameSerialAsAnother = true;
        run.result = WidgetResult::NotStarted;
        run.message = QStringLiteral("not updated: another widget with serial %1 stayed attached").arg(run.shownSerial());
        run.finishedAt = QDateTime::currentDateTimeUtc();
        reporter.finished(run);
        finished << run;
    }
    const Tally tally = tallyOf(finished, true);
    reporter.summary(finished, tally.widgets, tally.succeeded);
    return tally;
}

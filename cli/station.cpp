#include "station.h"
#include "deviceinfo.h"
#include "output.h"
#include "stationledger.h"

#include <atomic>
#include <list>
#include <thread>

namespace {

constexpr int ListIntervalMs = 500;
// A signal, a failed record or a finished widget is noticed within this
// while the station waits.
constexpr int WakeMs = 100;

struct Job
{
    explicit Job(const WidgetRun &r) : run(r), name(r.shownName()) {}
    WidgetRun run;
    const QString name;
    std::thread thread;
    std::atomic<bool> inLoader{false};
    std::atomic<bool> done{false};
};

} // namespace

WidgetJobHooks hooksFor(const UpdateContext &context)
{
    Reporter &reporter = context.reporter;
    RunControl &control = context.control;
    WidgetJobHooks hooks;
    hooks.verify = context.options.verify;
    hooks.opened = [&reporter](const WidgetRun &run) { reporter.opened(run); };
    hooks.pageSent = [&reporter](const WidgetRun &run, int sent, int) { reporter.pageSent(run, sent); };
    hooks.stopBeforeStart = [&control] { return control.stopStarting(); };
    hooks.enterLoader = [&control] { return control.enterLoader(); };
    hooks.stopRequested = [&control] { return control.interrupted(); };
    return hooks;
}

Tally runStation(const UpdateContext &context)
{
    Reporter &reporter = context.reporter;
    RunControl &control = context.control;
    // The widgets in flight finish after the first signal; a second one
    // interrupts them after their page in flight.
    control.setSignalsToInterrupt(2);
    StationLedger ledger(context.options.recover);
    std::list<Job> jobs;
    const WidgetJobHooks hooks = hooksFor(context);
    reporter.note(QStringLiteral("waiting for widgets; Ctrl-C ends the station"));

    auto act = [&](const QVector<StationLedger::Action> &actions) {
        for (const StationLedger::Action &action : actions) {
            if (!action.note.isEmpty())
                reporter.warning(action.note);
            if (action.decision != StationLedger::Decision::Start && action.decision != StationLedger::Decision::Recover)
                continue;
            jobs.emplace_back(action.run);
            Job &job = jobs.back();
            WidgetJobHooks own = hooks;
            own.enterLoader = [&job, &control] { return control.enterLoader([&job] { job.inLoader.store(true); }); };
            job.thread = std::thread([&job, &context, &reporter, own] {
                output::setLogTag(job.name);
                flashWidget(job.run, context.image, context.options.imagePath, own);
                reporter.finished(job.run);
                job.done.store(true);
            });
        }
    };
    // True when an attempt ended: a widget held behind it may go now.
    auto reap = [&] {
        bool ended = false;
        for (auto it = jobs.begin(); it != jobs.end();) {
            if (!it->done.load()) {
                ++it;
                continue;
            }
            it->thread.join();
            ledger.finished(it->run);
            it = jobs.erase(it);
            ended = true;
        }
        return ended;
    };

    while (!control.stopStarting()) {
        // Waited on below: whatever comes or goes from now on ends the wait.
        const lumora::DeviceList devices = attachedDevices();
        act(ledger.listed(devices.entries));
        for (int waited = 0; waited < ListIntervalMs && !control.stopStarting(); waited += WakeMs) {
            if (reap())
                act(ledger.decide());
            if (waitForDeviceChange(devices, WakeMs))
                break;
        }
    }

    reap();
    // Those that have not entered their loader end at once, unchanged.
    QStringList goingOn;
    control.withLoaderEntryHeld([&] {
        for (const Job &job : jobs)
            if (job.inLoader.load() && !job.done.load())
                goingOn << job.name;
    });
    if (!goingOn.isEmpty())
        reporter.note(QStringLiteral("stopping: %1 finish their update first (a second Ctrl-C interrupts them)")
                          .arg(goingOn.join(QStringLiteral(", "))));
    for (Job &job : jobs) {
        job.thread.join();
        ledger.finished(job.run);
    }
    for (const WidgetRun &run : ledger.endHeld())
        reporter.finished(run);
    const Tally tally = ledger.tally(output::recordFailed(), output::stdoutFailed());
    reporter.summary(ledger.attempts(), tally.widgets, tally.succeeded);
    return tally;
}

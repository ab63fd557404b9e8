// What may stop a flasher run, carried into its modes: the stop signals
// (SIGINT, SIGTERM, SIGHUP) received so far, and a record that could not be
// written. The first signal, or a failed record, starts no new widget and
// puts none into its loader; the widgets already in their loader finish. The
// next signal interrupts them after their page in flight (a run of one
// widget is interrupted by the first).
#ifndef LUMORA_RUNCONTROL_H
#define LUMORA_RUNCONTROL_H

#include <atomic>
#include <functional>
#include <mutex>

class RunControl
{
public:
    // The run's control, with the signal handlers installed; SIGPIPE is
    // ignored, so that a closed pipe never ends an update.
    static RunControl &install();

    int signalsReceived() const;
    // No new widget is to be started, nor put into its loader.
    bool stopStarting() const;
    // The widgets in their loader stop after their page in flight.
    bool interrupted() const { return signalsReceived() >= m_signalsToInterrupt; }
    void setSignalsToInterrupt(int count) { m_signalsToInterrupt = count; }

    // Asked just before a widget's loader request: true when it may go on,
    // and then `entered` runs, under the lock that withLoaderEntryHeld()
    // takes too: a stop sees exactly the widgets that go on.
    bool enterLoader(const std::function<void()> &entered = {});
    // Runs `f` while no widget can enter its loader.
    void withLoaderEntryHeld(const std::function<void()> &f);

private:
    RunControl() = default;

    std::atomic<int> m_signalsToInterrupt{1};
    std::mutex m_lock;
};

#endif

#include "runcontrol.h"
#include "output.h"

#include <csignal>

namespace {

std::atomic<int> gSignals{0};

extern "C" void onStopSignal(int)
{
    gSignals.fetch_add(1);
}

} // namespace

RunControl &RunControl::install()
{
    static RunControl control;
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
#ifdef SIGHUP
    std::signal(SIGHUP, onStopSignal);
#endif
    return control;
}

int RunControl::signalsReceived() const
{
    return gSignals.load();
}

bool RunControl::stopStarting() const
{
    return signalsReceived() > 0 || output::recordFailed();
}

bool RunControl::enterLoader(const std::function<void()> &entered)
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (stopStarting())
        return false;
    if (entered)
        entered();
    return true;
}

void RunControl::withLoaderEntryHeld(const std::function<void()> &f)
{
    std::lock_guard<std::mutex> lock(m_lock);
    f();
}

#include "sleep.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace lumora {

static std::function<void(int)> &sleeper()
{
    static std::function<void(int)> function;
    return function;
}

void sleepMs(int ms)
{
    if (sleeper())
        sleeper()(ms);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void setSleepFunction(std::function<void(int)> function)
{
    sleeper() = std::move(function);
}

static std::atomic<bool> shortHardwareWaits{false};

int hardwareWaitLimitMs(int ms)
{
    return shortHardwareWaits.load() ? ms / 10 : ms;
}

void setShortHardwareWaits(bool on)
{
    shortHardwareWaits.store(on);
}

} // namespace lumora

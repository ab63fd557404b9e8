#include "sleep.h"

#include <algorithm>
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

bool sleepUnless(int ms, const std::function<bool()> &stop)
{
    if (!stop || sleeper()) {
        sleepMs(ms);
        return !(stop && stop());
    }
    constexpr auto Slice = std::chrono::milliseconds(20);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (auto now = std::chrono::steady_clock::now(); now < end; now = std::chrono::steady_clock::now()) {
        if (stop())
            return false;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(Slice, end - now));
    }
    return !stop();
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

// Blocking waits of the device procedures (the pause after each open attempt,
// the wait for the widget's loader). Tests replace the wait so they run fast;
// the program keeps the real one.
#ifndef LUMORA_SLEEP_H
#define LUMORA_SLEEP_H

#include <functional>

namespace lumora {

void sleepMs(int ms);
// Sleeps `ms`, unless `stop` says to end the wait first (it is asked every
// few milliseconds); false when it did.
bool sleepUnless(int ms, const std::function<bool()> &stop);

// Replaces the wait; an empty function restores the real sleep.
void setSleepFunction(std::function<void(int)> sleeper);

// The longest time to wait for the hardware to do something of its own,
// such as a widget restarting after an update: `ms`, or a tenth of it where
// the pauses meant for real hardware are skipped (emulated widgets, which
// restart at once, in quick runs).
int hardwareWaitLimitMs(int ms);
void setShortHardwareWaits(bool on);

} // namespace lumora

#endif

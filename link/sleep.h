// Blocking waits of the device procedures (the pause after each open attempt,
// the wait for the widget's loader). Tests replace the wait so they run fast;
// the program keeps the real one.
#ifndef LUMORA_SLEEP_H
#define LUMORA_SLEEP_H

#include <functional>

namespace lumora {

void sleepMs(int ms);

// Replaces the wait; an empty function restores the real sleep.
void setSleepFunction(std::function<void(int)> sleeper);

} // namespace lumora

#endif

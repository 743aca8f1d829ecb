#ifndef CLOCK_H
#define CLOCK_H

// Every pause of the flasher goes through sleepMilliseconds(), so that tests and
// benchmarks can swap in a virtual clock and check the slow paths without waiting.

namespace FlasherClock {

using SleepFunction = void (*)(int milliseconds);

void sleepMilliseconds(int milliseconds);

// Installs a replacement; nullptr restores the real, blocking sleep.
void setSleepFunction(SleepFunction function);

} // namespace FlasherClock

#endif // CLOCK_H

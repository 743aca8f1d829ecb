#ifndef CLOCK_H
#define CLOCK_H

#include <cstdint>

// Every pause of the flasher goes through sleepMilliseconds(), and every deadline is
// measured with nowMicroseconds(), so that tests and benchmarks can swap in a virtual
// clock and check the slow paths without waiting.

namespace FlasherClock {

using SleepFunction = void (*)(int milliseconds);
using NowFunction = int64_t (*)();

void sleepMilliseconds(int milliseconds);
// Monotonic; only differences mean anything.
int64_t nowMicroseconds();

// Installs a replacement clock; nullptr for both restores the real one.
void install(SleepFunction sleep, NowFunction now);

} // namespace FlasherClock

#endif // CLOCK_H

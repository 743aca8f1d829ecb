#ifndef GPIOLINE_H
#define GPIOLINE_H

// A GPIO line driven as an output, for the reset of the Moduna module. Two
// implementations exist: gpioline_libgpiod.cpp over the kernel's GPIO character device
// (linked into the real program) and a simulated line used by the tests and brennix-sim.
// Each call returns 0 or an errno value.

struct GpioLine;

// `chip`: a chip's name ("gpiochip0"), device path or number; `line`: an offset on that
// chip or the name that the kernel gives the line ("GPIO17"). Requests the line for
// `consumer` as an output at `value` and hands it out in *requested.
int gpioRequestOutput(const char *chip, const char *line, const char *consumer, int value,
                      GpioLine **requested);
int gpioSetValue(GpioLine *line, int value);
// Gives the line back, at the level it was last set to, and frees it.
void gpioRelease(GpioLine *line);

#endif // GPIOLINE_H

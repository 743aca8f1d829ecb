// GPIO calls over the reset line of the active SimulatedModuna, for tests, the benchmark
// and the demo.

#include "gpioline.h"
#include "simulatedmoduna.h"

#include <cerrno>

struct GpioLine
{
    SimulatedModuna *module;
};

int gpioRequestOutput(const char *chip, const char *line, const char *consumer, int value,
                      GpioLine **requested)
{
    SimulatedModuna *module = SimulatedModuna::active();
    // Without a module, this is a machine without GPIO chips.
    if (!module)
        return ENOENT;
    const int error = module->requestResetLine(chip, line, consumer, value);
    if (error == 0)
        *requested = new GpioLine{module};
    return error;
}

int gpioSetValue(GpioLine *line, int value)
{
    return line->module->setResetLine(value);
}

void gpioRelease(GpioLine *line)
{
    line->module->releaseResetLine();
    delete line;
}

// GPIO calls over the reset line of the active SimulatedModuna, for the tests and
// brennix-sim.

#include "gpioline.h"
#include "simulatedmoduna.h"

struct GpioLine
{
    SimulatedModuna *module;
};

int gpioRequestOutput(const char *chip, const char *line, const char *consumer, int value,
                      GpioLine **requested)
{
    SimulatedModuna &module = SimulatedModuna::active();
    const int error = module.requestResetLine(chip, line, consumer, value);
    if (error == 0)
        *requested = new GpioLine{&module};
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

#include "brennix.h"

#include "clock.h"
#include "gpioline.h"

#include <cstdio>
#include <cstring>

namespace {

// The line was requested high, so that taking it does not reset the module by itself.
int pulseResetLine(GpioLine *line)
{
    int error = gpioSetValue(line, 0);
    if (error != 0)
        return error;
    FlasherClock::sleepMilliseconds(ResetPulseMs);
    error = gpioSetValue(line, 1);
    if (error != 0)
        return error;
    FlasherClock::sleepMilliseconds(ResetRecoveryMs);
    return 0;
}

} // namespace

// The Moduna module's reset pin is wired to a GPIO line of the single-board computer.
int Brennix::resetThroughGpio()
{
    if (!gpioResetLine) {
        printf("the Moduna module needs -gpio <chip>:<line> to be reset\n");
        return -1;
    }
    if (isOpen)
        closeDevice();
    printf("reset via GPIO %s\n", qPrintable(gpioResetLine->argument));

    const QByteArray chip = gpioResetLine->chip.toLocal8Bit();
    const QByteArray line = gpioResetLine->line.toLocal8Bit();
    GpioLine *resetLine = nullptr;
    int error = gpioRequestOutput(chip.constData(), line.constData(), "brennix", 1, &resetLine);
    if (error == 0) {
        error = pulseResetLine(resetLine);
        gpioRelease(resetLine);
    }
    if (error != 0) {
        printf("error: can not use GPIO line %s of chip %s: %s\n", line.constData(),
               chip.constData(), std::strerror(error));
        return -1;
    }
    return 0;
}

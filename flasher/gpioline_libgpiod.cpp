// GPIO lines through libgpiod 1.6. Every libgpiod call of the flasher is here: libgpiod 2
// changed the interface, and a port to it changes this file only.

#include "gpioline.h"

#include <gpiod.h>

#include <cerrno>
#include <charconv>
#include <cstring>

struct GpioLine
{
    gpiod_chip *chip;
    gpiod_line *line;
};

namespace {

// A failed call that left errno unset must not read as success.
int lastError()
{
    return errno != 0 ? errno : EIO;
}

// A decimal number is an offset, anything else a line name.
gpiod_line *findLine(gpiod_chip *chip, const char *line)
{
    unsigned int offset = 0;
    const char *end = line + std::strlen(line);
    const auto [next, error] = std::from_chars(line, end, offset);
    if (error == std::errc() && next == end)
        return gpiod_chip_get_line(chip, offset);
    return gpiod_chip_find_line(chip, line);
}

} // namespace

int gpioRequestOutput(const char *chip, const char *line, const char *consumer, int value,
                      GpioLine **requested)
{
    errno = 0;
    gpiod_chip *openedChip = gpiod_chip_open_lookup(chip);
    if (!openedChip)
        return lastError();
    gpiod_line *found = findLine(openedChip, line);
    if (!found || gpiod_line_request_output(found, consumer, value) != 0) {
        const int error = lastError();
        gpiod_chip_close(openedChip);
        return error;
    }
    *requested = new GpioLine{openedChip, found};
    return 0;
}

int gpioSetValue(GpioLine *line, int value)
{
    errno = 0;
    return gpiod_line_set_value(line->line, value) == 0 ? 0 : lastError();
}

void gpioRelease(GpioLine *line)
{
    gpiod_line_release(line->line);
    gpiod_chip_close(line->chip);
    delete line;
}

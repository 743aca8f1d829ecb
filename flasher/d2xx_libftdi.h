#ifndef D2XX_LIBFTDI_H
#define D2XX_LIBFTDI_H

#include <string>

// Where the libftdi1 implementation of d2xx.h looks at the operating system to learn,
// without touching a converter, who else uses it: sysfs for the tty that the kernel's
// serial driver made of it, the processes' open descriptors and the serial lock files for
// who holds that tty. The program always uses the defaults; tests point them at a
// temporary directory.
struct UsbSystemPaths
{
    std::string usbDevices = "/sys/bus/usb/devices";
    std::string processes = "/proc";
    std::string lockFiles = "/run/lock";
};

void setUsbSystemPaths(const UsbSystemPaths &paths);

#endif // D2XX_LIBFTDI_H

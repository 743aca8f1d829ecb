#ifndef CONVERTERHOLDER_H
#define CONVERTERHOLDER_H

#include "d2xx.h"

#include <cstddef>
#include <string>

struct libusb_device;

// Who else uses an FTDI converter, found out without touching it: the tty that the
// kernel's serial driver made of it (sysfs), who holds that tty open (/proc) or locked
// (the serial lock files), and whether another program has claimed it through libusb.
// Nothing here blocks: every file is opened without blocking and read only when it is a
// regular file, so that no other user can stall a listing with a FIFO or a device.

// Where the operating system shows all this. The program always uses the defaults;
// tests point them at a temporary directory.
struct UsbSystemPaths
{
    std::string usbDevices = "/sys/bus/usb/devices";
    std::string processes = "/proc";
    std::string lockFiles = "/run/lock";
};

const UsbSystemPaths &usbSystemPaths();
void setUsbSystemPaths(const UsbSystemPaths &paths);

// Where a converter is plugged in, as the kernel names it in sysfs ("1-4.2": bus 1, port 2
// of the hub on port 4): it stays the same while the converter stays plugged in.
std::string usbLocationOf(libusb_device *device);

// Copies text into a NUL-terminated field of the vendor's records, cut to fit.
void copyToField(const std::string &text, char *field, size_t fieldSize);

// The first line of a small regular file, or an empty string; see above for why.
std::string readSmallFile(const std::string &path);

// Whether the converter is ours to open, and if not, who holds it. The converter is
// opened through libusb for a moment but neither reset nor claimed: its line settings, its
// tty and another program's chance to claim it stay as they are.
FtdiHolder holderOf(libusb_device *device);

#endif // CONVERTERHOLDER_H

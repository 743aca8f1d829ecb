#include "brennix.h"

// The transport arrives with the FTDI layer; until then no device can be opened, so
// every operation fails as it does for NoDevice.

bool Brennix::openDevice()
{
    return false;
}

bool Brennix::closeDevice()
{
    isOpen = false;
    return true;
}

qint64 Brennix::writeDevice(const uint8_t *, qint64)
{
    return -1;
}

qint64 Brennix::readDevice(uint8_t *, qint64)
{
    return -1;
}

void Brennix::flushDevice() {}

qint64 Brennix::deviceBytesAvailable()
{
    return -1;
}

bool Brennix::waitForDeviceData(int)
{
    return false;
}

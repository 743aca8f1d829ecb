#include "brennix.h"

#include "clock.h"

#include <algorithm>
#include <cstdio>

FT_HANDLE ftdiHandle = nullptr;

namespace {

constexpr uint32_t BootloaderBaudRate = 38400;
constexpr uint32_t FtdiReadTimeoutMs = 5000;
constexpr uint32_t FtdiWriteTimeoutMs = 1000;
constexpr int FtdiFlushPollMs = 100;

} // namespace

bool Brennix::openDevice()
{
    switch (deviceKind) {
    case NoDevice:
        return false;
    case SerialDevice:
        serialPort.setBaudRate(BootloaderBaudRate);
        if (!serialPort.open(QIODevice::ReadWrite)) {
            printf("error: can not open %s\n", qPrintable(serialPort.portName()));
            return false;
        }
        isOpen = true;
        return true;
    case FtdiDevice:
        break;
    }

    const FT_STATUS status = openChosenConverter();
    if (status != FT_OK) {
        isOpen = false;
        explainOpenFailure(status);
        return false;
    }
    isOpen = true;
    // A rejected setting is reported but does not stop the flashing: the converter's own
    // defaults may still reach the bootloader.
    FT_SetTimeouts(ftdiHandle, FtdiReadTimeoutMs, FtdiWriteTimeoutMs);
    if (FT_SetBaudRate(ftdiHandle, BootloaderBaudRate) != FT_OK)
        printf("FTDI failed to set baudrate\n");
    if (FT_SetLatencyTimer(ftdiHandle, uint8_t(latency)) != FT_OK)
        printf("FTDI failed to set latency timer to %u ms\n", unsigned(latency));
    if (FT_SetDataCharacteristics(ftdiHandle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE) != FT_OK)
        printf("FTDI failed to set 8N1\n");
    // Each block request ends with ';': the converter passes it on at once rather than
    // after its latency timer. Without it the flash only takes longer.
    FT_SetChars(ftdiHandle, BlockRequestEnd, 1, 0, 0);
    return true;
}

FT_STATUS Brennix::openChosenConverter()
{
    if (chosenConverter)
        return ftdiOpenIdentity(&*chosenConverter, &ftdiHandle);
    // The index names a converter only until others come or go: from the first open on,
    // the converter is known by what it is and where it is plugged in.
    FT_STATUS status = FT_Open(int(ftdiIndex), &ftdiHandle);
    if (status != FT_OK)
        return status;
    FtdiIdentity identity{};
    status = ftdiGetIdentity(ftdiHandle, &identity);
    if (status != FT_OK) {
        FT_Close(ftdiHandle);
        return status;
    }
    chosenConverter = identity;
    return FT_OK;
}

bool Brennix::closeDevice()
{
    if (!isOpen)
        return true;
    bool closed = true;
    if (deviceKind == SerialDevice) {
        serialPort.close();
    } else if (deviceKind == FtdiDevice) {
        // A reset pulse cut short by a failure would otherwise hold the adapter in reset
        // until the converter loses power.
        if (resetAsserted)
            FT_SetBitMode(ftdiHandle, 0x00, FT_BITMODE_RESET);
        resetAsserted = false;
        closed = FT_Close(ftdiHandle) == FT_OK;
    }
    isOpen = false;
    return closed;
}

qint64 Brennix::writeDevice(const uint8_t *data, qint64 length)
{
    switch (deviceKind) {
    case NoDevice:
        return -1;
    case SerialDevice:
        return serialPort.write(reinterpret_cast<const char *>(data), length);
    case FtdiDevice:
        break;
    }
    uint32_t written = 0;
    if (FT_Write(ftdiHandle, data, uint32_t(length), &written) != FT_OK)
        return -1;
    return written;
}

qint64 Brennix::readDevice(uint8_t *buffer, qint64 maximum)
{
    switch (deviceKind) {
    case NoDevice:
        return -1;
    case SerialDevice:
        return serialPort.read(reinterpret_cast<char *>(buffer), maximum);
    case FtdiDevice:
        break;
    }
    // Only what the driver has queued is asked for, so the read time-out never applies.
    uint32_t waiting = 0;
    if (FT_GetQueueStatus(ftdiHandle, &waiting) != FT_OK)
        return -1;
    if (waiting == 0)
        return 0;
    uint32_t received = 0;
    const auto length = uint32_t(std::min<qint64>(waiting, maximum));
    if (FT_Read(ftdiHandle, buffer, length, &received) != FT_OK)
        return -1;
    return received;
}

void Brennix::flushDevice()
{
    switch (deviceKind) {
    case NoDevice:
        return;
    case SerialDevice:
        serialPort.flush();
        return;
    case FtdiDevice:
        break;
    }
    uint32_t receiveWaiting = 0;
    uint32_t transmitWaiting = 0;
    uint32_t eventState = 0;
    while (FT_GetStatus(ftdiHandle, &receiveWaiting, &transmitWaiting, &eventState) == FT_OK &&
           transmitWaiting != 0 && !stopRequested())
        FlasherClock::sleepMilliseconds(FtdiFlushPollMs);
}

qint64 Brennix::deviceBytesAvailable()
{
    switch (deviceKind) {
    case NoDevice:
        return -1;
    case SerialDevice:
        return serialPort.bytesAvailable();
    case FtdiDevice:
        break;
    }
    uint32_t receiveWaiting = 0;
    uint32_t transmitWaiting = 0;
    uint32_t eventState = 0;
    if (FT_GetStatus(ftdiHandle, &receiveWaiting, &transmitWaiting, &eventState) != FT_OK)
        return -1;
    return receiveWaiting;
}

bool Brennix::waitForDeviceData(int milliseconds)
{
    switch (deviceKind) {
    case NoDevice:
        return false;
    case SerialDevice:
        return serialPort.waitForReadyRead(milliseconds);
    case FtdiDevice:
        break;
    }
    // Sleeps until bytes arrive, however the wait falls on the converter's latency periods.
    const int64_t deadline = FlasherClock::nowMicroseconds() + int64_t(milliseconds) * 1000;
    for (int64_t left = int64_t(milliseconds) * 1000; left > 0 && !stopRequested();
         left = deadline - FlasherClock::nowMicroseconds()) {
        uint32_t waiting = 0;
        if (ftdiWaitForData(ftdiHandle, uint32_t((left + 999) / 1000), &waiting) != FT_OK)
            return false;
        if (waiting != 0)
            return true;
    }
    return false;
}

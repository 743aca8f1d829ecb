#ifndef D2XX_H
#define D2XX_H

// The part of the FTDI D2XX programming interface that the flasher uses, with the
// vendor's names and status codes, and a few calls of our own at the end. Two
// implementations exist: d2xx_libftdi.cpp over Debian's libftdi1 (linked into the real
// program, its tests and the benchmark) and a simulated converter used by the
// fault-injection tests, the fuzz target and the demo. The flasher calls nothing else on
// the USB side.

#include <cstdint>
#include <cstring>

using FT_HANDLE = void *;
using FT_STATUS = uint32_t;
using FT_DEVICE = uint32_t;

enum : FT_STATUS
{
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_NOT_SUPPORTED = 17,
    FT_OTHER_ERROR = 18,
};

// FT_ListDevices flag: the first argument receives the number of devices.
constexpr uint32_t FT_LIST_NUMBER_ONLY = 0x80000000u;

// FT_DEVICE_LIST_INFO_NODE::Flags bit: the device is open in some process.
constexpr uint32_t FT_FLAGS_OPENED = 0x1u;

// Data characteristics.
constexpr uint8_t FT_BITS_8 = 8;
constexpr uint8_t FT_STOP_BITS_1 = 0;
constexpr uint8_t FT_PARITY_NONE = 0;

// Bit modes.
constexpr uint8_t FT_BITMODE_RESET = 0x00;
constexpr uint8_t FT_BITMODE_CBUS_BITBANG = 0x20;

struct FT_DEVICE_LIST_INFO_NODE
{
    uint32_t Flags;
    uint32_t Type;
    uint32_t ID; // vendor ID in the upper 16 bits, product ID in the lower 16 bits
    uint32_t LocId;
    char SerialNumber[16];
    char Description[64];
    FT_HANDLE ftHandle;
};

FT_STATUS FT_ListDevices(void *arg1, void *arg2, uint32_t flags);
FT_STATUS FT_CreateDeviceInfoList(uint32_t *deviceCount);
FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *nodes, uint32_t *deviceCount);
// One entry of the list that FT_CreateDeviceInfoList made; the device is not opened.
// serialNumber takes at least 16 bytes, description at least 64; both come back NUL-terminated.
FT_STATUS FT_GetDeviceInfoDetail(uint32_t index, uint32_t *flags, uint32_t *type, uint32_t *id,
                                 uint32_t *locId, char *serialNumber, char *description,
                                 FT_HANDLE *handle);
FT_STATUS FT_Open(int deviceIndex, FT_HANDLE *handle);
FT_STATUS FT_Close(FT_HANDLE handle);
FT_STATUS FT_SetTimeouts(FT_HANDLE handle, uint32_t readTimeoutMs, uint32_t writeTimeoutMs);
FT_STATUS FT_SetBaudRate(FT_HANDLE handle, uint32_t baudRate);
FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, uint8_t milliseconds);
FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength, uint8_t stopBits,
                                    uint8_t parity);
FT_STATUS FT_SetBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode);
// With eventCharEnabled, the converter passes on what it has received as soon as eventChar
// arrives, instead of when its latency timer expires.
FT_STATUS FT_SetChars(FT_HANDLE handle, uint8_t eventChar, uint8_t eventCharEnabled,
                      uint8_t errorChar, uint8_t errorCharEnabled);
FT_STATUS FT_Write(FT_HANDLE handle, const void *buffer, uint32_t length, uint32_t *written);
// Returns at once with what the receive queue holds, never more than length bytes.
FT_STATUS FT_Read(FT_HANDLE handle, void *buffer, uint32_t length, uint32_t *received);
FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, uint32_t *receivedWaiting);
FT_STATUS FT_GetStatus(FT_HANDLE handle, uint32_t *receivedWaiting, uint32_t *transmitWaiting,
                       uint32_t *eventState);

// Not in the vendor's interface: the calls below are our own.

// Who keeps a device from being opened, as the operating system tells it without the
// device being touched.
enum FtdiHolderKind : uint32_t
{
    FtdiFree = 0,
    FtdiPermissionDenied, // the user may not open its USB device node
    FtdiTtyOpen,          // a process has the tty of the kernel's serial driver open
    FtdiTtyLocked,        // a running process holds the serial lock file of that tty
    FtdiClaimed,          // another program has claimed it through libusb
    FtdiHeldUnknown,      // it cannot be opened, and the system does not tell why
};

struct FtdiHolder
{
    uint32_t kind;
    // The USB bus number and device address, which name its node /dev/bus/usb/BBB/DDD.
    uint32_t bus;
    uint32_t address;
    int32_t processId; // FtdiTtyOpen, FtdiTtyLocked
    char program[16];  // FtdiTtyOpen: the process's name as it set it; any bytes
    char path[256];    // FtdiTtyOpen: the tty's device node; FtdiTtyLocked: the lock file
};

// Which converter a handle is open on: its serial number and where it is plugged in, as
// the kernel names the place ("1-4.2"). Unlike an index, the two still name the same
// converter after others have come or gone.
struct FtdiIdentity
{
    char serialNumber[16];
    char location[32];
};

inline bool sameIdentity(const FtdiIdentity &a, const FtdiIdentity &b)
{
    return std::strncmp(a.serialNumber, b.serialNumber, sizeof a.serialNumber) == 0 &&
           std::strncmp(a.location, b.location, sizeof a.location) == 0;
}

// What the vendor's node does not tell of the device at index in the list that the last
// FT_CreateDeviceInfoList made; either pointer may be null.
FT_STATUS ftdiGetListedDevice(uint32_t index, FtdiIdentity *identity, FtdiHolder *holder);
FT_STATUS ftdiGetIdentity(FT_HANDLE handle, FtdiIdentity *identity);
// Opens the converter with that identity, wherever the list now puts it:
// FT_DEVICE_NOT_FOUND when it is gone, or when another converter is plugged in at its place.
FT_STATUS ftdiOpenIdentity(const FtdiIdentity *identity, FT_HANDLE *handle);

// Sleeps until the converter reports, at most `milliseconds`, without polling (the
// vendor's FT_SetEventNotification does this with an event object), then gives the count
// as FT_GetQueueStatus does. A converter reports whenever bytes arrive, and also with
// nothing once per latency period, and a signal ends the sleep too: so a count of 0 may
// come early, and the caller waits again with what is left of its time.
FT_STATUS ftdiWaitForData(FT_HANDLE handle, uint32_t milliseconds, uint32_t *receivedWaiting);

#endif // D2XX_H

// D2XX operations over Debian's libftdi1. The flasher runs on one thread, so the handle
// table and the device-info snapshot below need no locking.

#include "d2xx.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

// The vendor's device type codes for the chips that libftdi tells apart.
enum : FT_DEVICE
{
    FT_DEVICE_BM = 0,
    FT_DEVICE_AM = 1,
    FT_DEVICE_UNKNOWN = 3,
    FT_DEVICE_2232C = 4,
    FT_DEVICE_232R = 5,
    FT_DEVICE_2232H = 6,
    FT_DEVICE_4232H = 7,
    FT_DEVICE_232H = 8,
    FT_DEVICE_X_SERIES = 9,
};

// Large enough to drain a full-speed converter's receive FIFO in one poll.
constexpr int PollChunk = 4096;

struct ContextDeleter
{
    void operator()(ftdi_context *context) const { ftdi_free(context); }
};
using Context = std::unique_ptr<ftdi_context, ContextDeleter>;

struct DeviceListDeleter
{
    void operator()(ftdi_device_list *list) const { ftdi_list_free(&list); }
};
using DeviceList = std::unique_ptr<ftdi_device_list, DeviceListDeleter>;

struct DeviceInfo
{
    bool openedElsewhere = false;
    FT_DEVICE type = FT_DEVICE_UNKNOWN;
    uint32_t id = 0;
    uint32_t locationId = 0;
    std::string serialNumber;
    std::string description;
};

struct OpenDevice
{
    Context context;
    DeviceInfo info;
    // libftdi has no "bytes waiting" query, so everything polled from the chip waits here.
    std::deque<uint8_t> received;
};

std::map<FT_HANDLE, std::unique_ptr<OpenDevice>> openDevices;
std::vector<DeviceInfo> deviceInfoList;

// What ftdi_usb_open_dev() would conclude, read without opening the converter: the chip
// generation shows in bcdDevice, where BM chips without a serial number pose as AM ones.
FT_DEVICE deviceType(const libusb_device_descriptor &descriptor)
{
    switch (descriptor.bcdDevice) {
    case 0x200:
        return descriptor.iSerialNumber == 0 ? FT_DEVICE_BM : FT_DEVICE_AM;
    case 0x400:
        return FT_DEVICE_BM;
    case 0x500:
        return FT_DEVICE_2232C;
    case 0x600:
        return FT_DEVICE_232R;
    case 0x700:
        return FT_DEVICE_2232H;
    case 0x800:
        return FT_DEVICE_4232H;
    case 0x900:
        return FT_DEVICE_232H;
    case 0x1000:
        return FT_DEVICE_X_SERIES;
    }
    return FT_DEVICE_UNKNOWN;
}

// Members in this order so that the device list is freed before the libusb context
// that its devices belong to.
struct Enumeration
{
    Context context;
    DeviceList list;
    std::vector<libusb_device *> devices;
    bool failed = false;
};

// libftdi's default product IDs cover the FT232R/AM/BM, FT2232, FT4232, FT232H and FT-X.
Enumeration enumerate()
{
    Enumeration found;
    found.context.reset(ftdi_new());
    // ftdi_new() fails when libusb cannot start at all (no USB bus, as in a container):
    // that is a machine without converters, not an error.
    if (!found.context)
        return found;
    // Hand the converter back to the kernel's serial driver when we let go of it, so
    // that listing and flashing do not make /dev/ttyUSB* disappear for good.
    found.context->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;

    ftdi_device_list *head = nullptr;
    const int count = ftdi_usb_find_all(found.context.get(), &head, 0, 0);
    found.list.reset(head);
    found.failed = count < 0;
    for (ftdi_device_list *node = head; node; node = node->next)
        found.devices.push_back(node->dev);
    return found;
}

DeviceInfo describe(ftdi_context *context, libusb_device *device)
{
    DeviceInfo info;
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) == 0) {
        info.id = uint32_t(descriptor.idVendor) << 16 | descriptor.idProduct;
        info.type = deviceType(descriptor);
    }
    info.locationId =
        uint32_t(libusb_get_bus_number(device)) << 8 | libusb_get_device_address(device);

    // One string per query: libftdi skips a null buffer but gives up at the first string
    // that fails, and a converter without a description must still be found by its serial.
    char description[64] = {};
    if (ftdi_usb_get_strings(context, device, nullptr, 0, description, sizeof description, nullptr,
                             0) < 0)
        description[0] = '\0';
    char serialNumber[16] = {};
    if (ftdi_usb_get_strings(context, device, nullptr, 0, nullptr, 0, serialNumber,
                             sizeof serialNumber) < 0)
        serialNumber[0] = '\0';
    info.serialNumber = serialNumber;
    info.description = description;
    return info;
}

// Whether some other process has claimed the converter, found out without resetting it,
// changing its line settings or detaching a kernel driver from it.
bool claimedElsewhere(libusb_device *device)
{
    libusb_device_handle *handle = nullptr;
    if (libusb_open(device, &handle) != 0)
        return false;
    bool claimed = false;
    // While the kernel's serial driver holds the interface, FT_Open detaches it and gets
    // the converter, whoever has its tty open.
    if (libusb_kernel_driver_active(handle, 0) != 1) {
        const int result = libusb_claim_interface(handle, 0);
        claimed = result == LIBUSB_ERROR_BUSY;
        if (result == 0)
            libusb_release_interface(handle, 0);
    }
    libusb_close(handle);
    return claimed;
}

void copyString(const std::string &text, char *field, size_t fieldSize)
{
    const size_t length = std::min(text.size(), fieldSize - 1);
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
}

OpenDevice *findOpenDevice(FT_HANDLE handle)
{
    const auto found = openDevices.find(handle);
    return found == openDevices.end() ? nullptr : found->second.get();
}

FT_STATUS ioStatus(int result)
{
    return result < 0 ? FT_IO_ERROR : FT_OK;
}

FT_STATUS pollReceived(OpenDevice &device)
{
    unsigned char chunk[PollChunk];
    const int count = ftdi_read_data(device.context.get(), chunk, sizeof chunk);
    if (count < 0)
        return FT_IO_ERROR;
    device.received.insert(device.received.end(), chunk, chunk + count);
    return FT_OK;
}

} // namespace

FT_STATUS FT_ListDevices(void *arg1, void * /*arg2*/, uint32_t flags)
{
    if (flags != FT_LIST_NUMBER_ONLY)
        return FT_NOT_SUPPORTED;
    if (!arg1)
        return FT_INVALID_PARAMETER;
    const Enumeration found = enumerate();
    if (found.failed)
        return FT_IO_ERROR;
    *static_cast<uint32_t *>(arg1) = uint32_t(found.devices.size());
    return FT_OK;
}

FT_STATUS FT_CreateDeviceInfoList(uint32_t *deviceCount)
{
    if (!deviceCount)
        return FT_INVALID_PARAMETER;
    deviceInfoList.clear();
    const Enumeration found = enumerate();
    if (found.failed)
        return FT_IO_ERROR;
    ftdi_context *context = found.context.get();
    for (libusb_device *device : found.devices) {
        DeviceInfo info = describe(context, device);
        info.openedElsewhere = claimedElsewhere(device);
        deviceInfoList.push_back(info);
    }
    *deviceCount = uint32_t(deviceInfoList.size());
    return FT_OK;
}

// Copies the list of the last FT_CreateDeviceInfoList; *deviceCount is the capacity of
// nodes on entry and the number of nodes filled on return.
FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *nodes, uint32_t *deviceCount)
{
    if (!deviceCount || (!nodes && *deviceCount > 0))
        return FT_INVALID_PARAMETER;
    const uint32_t count = std::min<uint32_t>(*deviceCount, uint32_t(deviceInfoList.size()));
    for (uint32_t i = 0; i < count; ++i) {
        const DeviceInfo &info = deviceInfoList[i];
        FT_DEVICE_LIST_INFO_NODE &node = nodes[i];
        node.Flags = info.openedElsewhere ? FT_FLAGS_OPENED : 0;
        node.Type = info.type;
        node.ID = info.id;
        node.LocId = info.locationId;
        copyString(info.serialNumber, node.SerialNumber, sizeof node.SerialNumber);
        copyString(info.description, node.Description, sizeof node.Description);
        node.ftHandle = nullptr;
    }
    *deviceCount = count;
    return FT_OK;
}

FT_STATUS FT_Open(int deviceIndex, FT_HANDLE *handle)
{
    if (!handle)
        return FT_INVALID_PARAMETER;
    *handle = nullptr;
    if (deviceIndex < 0)
        return FT_DEVICE_NOT_FOUND;
    Enumeration found = enumerate();
    if (found.failed)
        return FT_IO_ERROR;
    if (size_t(deviceIndex) >= found.devices.size())
        return FT_DEVICE_NOT_FOUND;
    libusb_device *device = found.devices[size_t(deviceIndex)];

    auto opened = std::make_unique<OpenDevice>();
    opened->info = describe(found.context.get(), device);
    if (ftdi_usb_open_dev(found.context.get(), device) < 0)
        return FT_DEVICE_NOT_OPENED;
    // libusb keeps its own reference to an opened device, so the list may go.
    opened->context = std::move(found.context);

    *handle = opened.get();
    openDevices.emplace(*handle, std::move(opened));
    return FT_OK;
}

FT_STATUS FT_Close(FT_HANDLE handle)
{
    OpenDevice *device = findOpenDevice(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    const int result = ftdi_usb_close(device->context.get());
    // The handle is gone either way; a failed release leaves nothing for the caller to retry.
    openDevices.erase(handle);
    return ioStatus(result);
}

FT_STATUS FT_GetDeviceInfo(FT_HANDLE handle, FT_DEVICE *type, uint32_t *id, char *serialNumber,
                           char *description, void * /*reserved*/)
{
    const OpenDevice *device = findOpenDevice(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    if (type)
        *type = device->info.type;
    if (id)
        *id = device->info.id;
    if (serialNumber)
        copyString(device->info.serialNumber, serialNumber, 16);
    if (description)
        copyString(device->info.description, description, 64);
    return FT_OK;
}

FT_STATUS FT_SetTimeouts(FT_HANDLE handle, uint32_t readTimeoutMs, uint32_t writeTimeoutMs)
{
    OpenDevice *device = findOpenDevice(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    device->context->usb_read_timeout = int(std::min<uint32_t>(readTimeoutMs, INT_MAX));
    device->context->usb_write_timeout = int(std::min<uint32_t>(writeTimeoutMs, INT_MAX));
    return FT_OK;
}

FT_STATUS FT_SetBaudRate(FT_HANDLE handle, uint32_t baudRate)
{
    OpenDevice *device = findOpenDevice(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    if (baudRate > INT_MAX)
        return FT_INVALID_BAUD_RATE;
    const int result = ftdi_set_baudrate(device->context.get(), int(baudRate));
    return result == -1 ? FT_INVALID_BAUD_RATE : ioStatus(result);
}

FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, uint8_t milliseconds)
{
    OpenDevice *device = findOpenDevice(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    const int result = ftdi_set_latency_timer(device->context.get(), milliseconds);
    return result == -1 ? FT_INVALID_PARAMETER : ioStatus(result);
}

FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength, uint8_t stopBits,
                                    uint8_t parity)
{
    OpenDevice *device = findOpenDevice(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    // The vendor's codes equal libftdi's enumerators; anything else would reach the chip
    // as a garbage control value.
    const bool valid = (wordLength == BITS_7 || wordLength == BITS_8) &&
                       (stopBits == STOP_BIT_1 || stopBits == STOP_BIT_2) && parity <= SPACE;
    if (!valid)
        return FT_INVALID_PARAMETER;
    return ioStatus(ftdi_set_line_property(device->context.get(), ftdi_bits_type(wordLength),
                                           ftdi_stopbits_type(stopBits), ftdi_parity_type(parity)));
}

FT_STATUS FT_SetBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode)
{
    OpenDevice *device = findOpenDevice(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    // The vendor's mode values (FT_BITMODE_RESET, FT_BITMODE_CBUS_BITBANG, ...) are
    // libftdi's ftdi_mpsse_mode values.
    return ioStatus(ftdi_set_bitmode(device->context.get(), mask, mode));
}

FT_STATUS FT_Write(FT_HANDLE handle, const void *buffer, uint32_t length, uint32_t *written)
{
    OpenDevice *device = findOpenDevice(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    if (!written || (!buffer && length > 0) || length > INT_MAX)
        return FT_INVALID_PARAMETER;
    *written = 0;
    // ftdi_write_data() returns only once the chip has taken every byte.
    const int result = ftdi_write_data(device->context.get(),
                                       static_cast<const unsigned char *>(buffer), int(length));
    if (result < 0)
        return FT_IO_ERROR;
    *written = uint32_t(result);
    return FT_OK;
}

FT_STATUS FT_Read(FT_HANDLE handle, void *buffer, uint32_t length, uint32_t *received)
{
    OpenDevice *device = findOpenDevice(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    if (!received || (!buffer && length > 0))
        return FT_INVALID_PARAMETER;
    *received = 0;
    if (device->received.size() < length) {
        const FT_STATUS status = pollReceived(*device);
        if (status != FT_OK)
            return status;
    }
    const auto count = std::min<size_t>(length, device->received.size());
    std::copy_n(device->received.begin(), count, static_cast<uint8_t *>(buffer));
    device->received.erase(device->received.begin(), device->received.begin() + long(count));
    *received = uint32_t(count);
    return FT_OK;
}

FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, uint32_t *receivedWaiting)
{
    OpenDevice *device = findOpenDevice(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    if (!receivedWaiting)
        return FT_INVALID_PARAMETER;
    const FT_STATUS status = pollReceived(*device);
    if (status != FT_OK)
        return status;
    *receivedWaiting = uint32_t(device->received.size());
    return FT_OK;
}

FT_STATUS FT_GetStatus(FT_HANDLE handle, uint32_t *receivedWaiting, uint32_t *transmitWaiting,
                       uint32_t *eventState)
{
    OpenDevice *device = findOpenDevice(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    if (!receivedWaiting || !transmitWaiting || !eventState)
        return FT_INVALID_PARAMETER;
    const FT_STATUS status = pollReceived(*device);
    if (status != FT_OK)
        return status;
    *receivedWaiting = uint32_t(device->received.size());
    // Writes are synchronous, so nothing is ever left to transmit.
    *transmitWaiting = 0;
    *eventState = 0;
    return FT_OK;
}

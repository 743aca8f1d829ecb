// D2XX operations over Debian's libftdi1. The flasher runs on one thread, so the handle
// table and the device-info snapshot below need no locking.
//
// libftdi1 has no "bytes waiting" query, and its reads wait for the chip, which answers a
// read that it has nothing for only when its latency timer expires. So an open converter
// always has bulk reads pending on its libusb context: the host controller takes each
// packet as the chip sends it, and every D2XX call first collects, without waiting, what
// has arrived. A status query therefore never blocks, and no reader thread is needed.

#include "converterholder.h"
#include "d2xx.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <climits>
#include <csignal>
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

// Pending reads, each of eight 64-byte packets. While the flasher sleeps, an idle chip ends
// one read per latency period with a packet of status bytes only; these last 64 ms at the
// shortest latency (2 ms) before the chip's own 256-byte buffer has to hold what comes.
constexpr int ReadTransfers = 32;
constexpr int ReadTransferLength = 512;
// Each packet from the chip starts with its modem and line status.
constexpr int PacketStatusLength = 2;
// A cancelled read comes back within a frame or two; one that has not come back after
// these rounds of waiting for it will not.
constexpr int StopRounds = 10;
constexpr long StopRoundMicroseconds = 100000;

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
    FtdiHolder holder{};
    FT_DEVICE type = FT_DEVICE_UNKNOWN;
    uint32_t id = 0;
    uint32_t locationId = 0;
    std::string location;
    std::string serialNumber;
    std::string description;
};

// A handle from FT_Open: a converter opened through libftdi1, with its reads pending.
struct OpenDevice
{
    FtdiIdentity identity{};
    Context context;
    std::vector<libusb_transfer *> reads;
    std::vector<unsigned char> readBuffers;
    int readsInFlight = 0;
    bool readFailed = false;
    bool stopping = false;
    std::deque<uint8_t> received; // what the reads brought and FT_Read has not yet taken
};

std::map<FT_HANDLE, std::unique_ptr<OpenDevice>> openDevices;
// Devices whose reads never came back from libusb, which may still write into their
// buffers and call back with them: never freed, not even at exit.
std::vector<OpenDevice *> *const abandonedDevices = new std::vector<OpenDevice *>;
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

// The bus number followed by the ports from the root hub down.
std::vector<uint8_t> portPath(libusb_device *device)
{
    std::vector<uint8_t> path(8);
    path[0] = libusb_get_bus_number(device);
    const int depth = libusb_get_port_numbers(device, path.data() + 1, int(path.size()) - 1);
    path.resize(size_t(1 + std::max(depth, 0)));
    return path;
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
    // libusb starts a thread of its own that watches for hotplug events. Started with every
    // signal blocked, it leaves Ctrl-C to the flasher's thread, whose waits it interrupts.
    sigset_t everySignal;
    sigset_t previous;
    sigfillset(&everySignal);
    pthread_sigmask(SIG_BLOCK, &everySignal, &previous);
    found.context.reset(ftdi_new());
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    // ftdi_new() fails when libusb cannot start at all (no USB bus, as in a container):
    // that is a machine without converters, not an error.
    if (!found.context)
        return found;
    // Hand the converter back to the kernel's serial driver when we let go of it, so
    // that a reset or a flash does not make /dev/ttyUSB* disappear for good.
    found.context->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;

    ftdi_device_list *head = nullptr;
    const int count = ftdi_usb_find_all(found.context.get(), &head, 0, 0);
    found.list.reset(head);
    found.failed = count < 0;
    for (ftdi_device_list *node = head; node; node = node->next)
        found.devices.push_back(node->dev);
    // libusb lists the newest device first; by place, the order survives re-enumeration
    // and the first index is the converter on the lowest port.
    std::sort(found.devices.begin(), found.devices.end(),
              [](libusb_device *a, libusb_device *b) { return portPath(a) < portPath(b); });
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
    info.location = usbLocationOf(device);
    const std::string sysfs = usbSystemPaths().usbDevices + "/" + info.location + "/";

    // One string per query: libftdi skips a null buffer but gives up at the first string
    // that fails, and a converter without a description must still be found by its serial.
    // Strings that libusb cannot read (no permission to open the converter) come from
    // sysfs, which shows them to every user.
    char description[sizeof FT_DEVICE_LIST_INFO_NODE::Description] = {};
    if (ftdi_usb_get_strings(context, device, nullptr, 0, description, sizeof description, nullptr,
                             0) < 0)
        copyToField(readSmallFile(sysfs + "product"), description, sizeof description);
    char serialNumber[sizeof FT_DEVICE_LIST_INFO_NODE::SerialNumber] = {};
    if (ftdi_usb_get_strings(context, device, nullptr, 0, nullptr, 0, serialNumber,
                             sizeof serialNumber) < 0)
        copyToField(readSmallFile(sysfs + "serial"), serialNumber, sizeof serialNumber);
    info.serialNumber = serialNumber;
    info.description = description;
    return info;
}

FtdiIdentity identityOf(const DeviceInfo &info)
{
    FtdiIdentity identity{};
    copyToField(info.serialNumber, identity.serialNumber, sizeof identity.serialNumber);
    copyToField(info.location, identity.location, sizeof identity.location);
    return identity;
}

// The node that the vendor's list holds for a device.
FT_DEVICE_LIST_INFO_NODE nodeOf(const DeviceInfo &info)
{
    FT_DEVICE_LIST_INFO_NODE node{};
    node.Flags = info.holder.kind != FtdiFree ? FT_FLAGS_OPENED : 0;
    node.Type = info.type;
    node.ID = info.id;
    node.LocId = info.locationId;
    copyToField(info.serialNumber, node.SerialNumber, sizeof node.SerialNumber);
    copyToField(info.description, node.Description, sizeof node.Description);
    node.ftHandle = nullptr;
    return node;
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

void LIBUSB_CALL readEnded(libusb_transfer *transfer)
{
    OpenDevice &device = *static_cast<OpenDevice *>(transfer->user_data);
    --device.readsInFlight;
    const int packetSize = int(device.context->max_packet_size);
    for (int packet = 0; packet < transfer->actual_length; packet += packetSize) {
        const int end = std::min(packet + packetSize, transfer->actual_length);
        if (end - packet > PacketStatusLength)
            device.received.insert(device.received.end(),
                                   transfer->buffer + packet + PacketStatusLength,
                                   transfer->buffer + end);
    }
    if (device.stopping)
        return;
    if (transfer->status == LIBUSB_TRANSFER_COMPLETED && libusb_submit_transfer(transfer) == 0)
        ++device.readsInFlight;
    else
        device.readFailed = true; // the converter is gone or broken
}

FT_STATUS startReads(OpenDevice &device)
{
    device.readBuffers.resize(size_t(ReadTransfers) * ReadTransferLength);
    for (int i = 0; i < ReadTransfers; ++i) {
        libusb_transfer *transfer = libusb_alloc_transfer(0);
        if (!transfer)
            return FT_INSUFFICIENT_RESOURCES;
        device.reads.push_back(transfer);
        libusb_fill_bulk_transfer(transfer, device.context->usb_dev,
                                  static_cast<unsigned char>(device.context->out_ep),
                                  device.readBuffers.data() + size_t(i) * ReadTransferLength,
                                  ReadTransferLength, readEnded, &device, 0);
        if (libusb_submit_transfer(transfer) != 0)
            return FT_IO_ERROR;
        ++device.readsInFlight;
    }
    return FT_OK;
}

// Cancels the pending reads and waits, for a bounded time, until libusb has handed each of
// them back; false when some did not come back.
bool stopReads(OpenDevice &device)
{
    device.stopping = true;
    for (libusb_transfer *transfer : device.reads)
        libusb_cancel_transfer(transfer);
    for (int round = 0; round < StopRounds && device.readsInFlight > 0; ++round) {
        timeval wait{0, StopRoundMicroseconds};
        libusb_handle_events_timeout_completed(device.context->usb_ctx, &wait, nullptr);
    }
    if (device.readsInFlight > 0)
        return false;
    for (libusb_transfer *transfer : device.reads)
        libusb_free_transfer(transfer);
    device.reads.clear();
    return true;
}

// Takes what the reads have brought since the last call, without waiting.
FT_STATUS collectReceived(OpenDevice &device)
{
    timeval noWait{0, 0};
    if (libusb_handle_events_timeout_completed(device.context->usb_ctx, &noWait, nullptr) != 0 ||
        device.readFailed)
        return FT_IO_ERROR;
    return FT_OK;
}

// Stops the reads and lets go of the converter, which gets its kernel driver back. A
// converter whose reads did not all come back stays open and claimed for good.
FT_STATUS release(std::unique_ptr<OpenDevice> device)
{
    if (!stopReads(*device)) {
        abandonedDevices->push_back(device.release());
        return FT_IO_ERROR;
    }
    return ioStatus(ftdi_usb_close(device->context.get()));
}

// libftdi1 closes a converter whose reset or baud rate request fails in the middle of its
// open without releasing the claim, and only a release binds the kernel's serial driver
// again: the converter's tty would stay gone until it is plugged in again. So this does
// what the release would have done.
void reattachKernelDriver(libusb_device *device)
{
    libusb_device_handle *handle = nullptr;
    if (libusb_open(device, &handle) != 0)
        return;
    if (libusb_kernel_driver_active(handle, 0) == 0)
        libusb_attach_kernel_driver(handle, 0);
    libusb_close(handle);
}

// Opens a converter of the enumeration, as describe() found it, and starts its reads.
FT_STATUS openConverter(Enumeration &found, libusb_device *device, const DeviceInfo &info,
                        FT_HANDLE *handle)
{
    // A converter in use elsewhere is left alone rather than taken from its user.
    if (holderOf(device).kind != FtdiFree)
        return FT_DEVICE_NOT_OPENED;
    // Resets the chip, sets 9600 baud and detaches the kernel's serial driver.
    if (ftdi_usb_open_dev(found.context.get(), device) < 0) {
        reattachKernelDriver(device);
        return FT_DEVICE_NOT_OPENED;
    }
    // The open converter holds a reference of its own; the list must go before its context.
    found.list.reset();

    auto opened = std::make_unique<OpenDevice>();
    opened->identity = identityOf(info);
    opened->context = std::move(found.context);
    // Without its reads the converter could not tell what it receives.
    if (const FT_STATUS status = startReads(*opened)) {
        release(std::move(opened));
        return status;
    }
    *handle = opened.get();
    openDevices.emplace(*handle, std::move(opened));
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
        info.holder = holderOf(device);
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
    for (uint32_t i = 0; i < count; ++i)
        nodes[i] = nodeOf(deviceInfoList[i]);
    *deviceCount = count;
    return FT_OK;
}

FT_STATUS FT_GetDeviceInfoDetail(uint32_t index, uint32_t *flags, uint32_t *type, uint32_t *id,
                                 uint32_t *locId, char *serialNumber, char *description,
                                 FT_HANDLE *handle)
{
    if (index >= deviceInfoList.size())
        return FT_DEVICE_NOT_FOUND;
    const FT_DEVICE_LIST_INFO_NODE node = nodeOf(deviceInfoList[index]);
    if (flags)
        *flags = node.Flags;
    if (type)
        *type = node.Type;
    if (id)
        *id = node.ID;
    if (locId)
        *locId = node.LocId;
    if (serialNumber)
        std::memcpy(serialNumber, node.SerialNumber, sizeof node.SerialNumber);
    if (description)
        std::memcpy(description, node.Description, sizeof node.Description);
    if (handle)
        *handle = node.ftHandle;
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
    return openConverter(found, device, describe(found.context.get(), device), handle);
}

FT_STATUS FT_Close(FT_HANDLE handle)
{
    const auto found = openDevices.find(handle);
    if (found == openDevices.end())
        return FT_INVALID_HANDLE;
    // The handle is gone either way; a failed release leaves nothing for the caller to retry.
    std::unique_ptr<OpenDevice> device = std::move(found->second);
    openDevices.erase(found);
    return release(std::move(device));
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

FT_STATUS FT_SetChars(FT_HANDLE handle, uint8_t eventChar, uint8_t eventCharEnabled,
                      uint8_t errorChar, uint8_t errorCharEnabled)
{
    OpenDevice *device = findOpenDevice(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    ftdi_context *context = device->context.get();
    if (ftdi_set_event_char(context, eventChar, eventCharEnabled) < 0 ||
        ftdi_set_error_char(context, errorChar, errorCharEnabled) < 0)
        return FT_IO_ERROR;
    return FT_OK;
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
    const FT_STATUS status = collectReceived(*device);
    if (status != FT_OK)
        return status;
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
    const FT_STATUS status = collectReceived(*device);
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
    const FT_STATUS status = collectReceived(*device);
    if (status != FT_OK)
        return status;
    *receivedWaiting = uint32_t(device->received.size());
    // The count covers the host side only, as the vendor's driver does: a write returns once
    // the chip has taken its bytes, though up to 128 of them may still wait in its buffer.
    *transmitWaiting = 0;
    *eventState = 0;
    return FT_OK;
}

FT_STATUS ftdiGetListedDevice(uint32_t index, FtdiIdentity *identity, FtdiHolder *holder)
{
    if (index >= deviceInfoList.size())
        return FT_DEVICE_NOT_FOUND;
    const DeviceInfo &info = deviceInfoList[index];
    if (identity)
        *identity = identityOf(info);
    if (holder)
        *holder = info.holder;
    return FT_OK;
}

FT_STATUS ftdiGetIdentity(FT_HANDLE handle, FtdiIdentity *identity)
{
    const OpenDevice *device = findOpenDevice(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    if (!identity)
        return FT_INVALID_PARAMETER;
    *identity = device->identity;
    return FT_OK;
}

FT_STATUS ftdiOpenIdentity(const FtdiIdentity *identity, FT_HANDLE *handle)
{
    if (!identity || !handle)
        return FT_INVALID_PARAMETER;
    *handle = nullptr;
    Enumeration found = enumerate();
    if (found.failed)
        return FT_IO_ERROR;
    for (libusb_device *device : found.devices) {
        if (usbLocationOf(device) != identity->location)
            continue;
        // Another converter plugged in at its place is not it.
        const DeviceInfo info = describe(found.context.get(), device);
        if (!sameIdentity(identityOf(info), *identity))
            break;
        return openConverter(found, device, info, handle);
    }
    return FT_DEVICE_NOT_FOUND;
}

FT_STATUS ftdiWaitForData(FT_HANDLE handle, uint32_t milliseconds, uint32_t *receivedWaiting)
{
    OpenDevice *device = findOpenDevice(handle);
    if (!device)
        return FT_INVALID_HANDLE;
    if (!receivedWaiting)
        return FT_INVALID_PARAMETER;
    if (device->received.empty() && !device->readFailed) {
        timeval wait{time_t(milliseconds / 1000), suseconds_t(milliseconds % 1000) * 1000};
        // Returns as soon as a read comes back, and early on a signal.
        const int result =
            libusb_handle_events_timeout_completed(device->context->usb_ctx, &wait, nullptr);
        if (result != 0 && result != LIBUSB_ERROR_INTERRUPTED)
            return FT_IO_ERROR;
    }
    if (device->readFailed)
        return FT_IO_ERROR;
    *receivedWaiting = uint32_t(device->received.size());
    return FT_OK;
}

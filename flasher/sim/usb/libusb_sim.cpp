// The libusb-1.0 functions that Debian's libftdi1 1.5 and d2xx_libftdi.cpp call, over the
// chips of the active SimulatedUsb. A program that links these objects has them take the
// place of the real library's, for the real libftdi1 as well: an executable's symbols come
// first when the dynamic linker resolves libftdi1's calls.
//
// What is simulated is what an FT232R under Linux does with them: opening needs the
// permission for the device node, claiming the interface needs the kernel's serial driver
// detached (automatically, when asked for) and no other claim, releasing it after an
// automatic detach binds the driver again. Bulk transfers reach only the chip's two
// endpoints, through a handle that has claimed the interface. Bulk IN transfers are
// answered by the chip's packets; synchronous transfers let virtual time pass until they
// end, and then handle the events of their context, as libusb's own waiting does. Only
// bulk IN transfers can be submitted asynchronously, in whole packets; the chip answers no
// IN control request.
//
// The faults of SimulatedChip::linkFaults() show as a real kernel reports them: a stalled
// vendor request as LIBUSB_ERROR_PIPE, a short bulk OUT transfer as LIBUSB_ERROR_TIMEOUT
// once its time-out has passed, with the bytes that went through, and a failed read as
// LIBUSB_TRANSFER_ERROR. On an unplugged chip every call of a handle fails with
// LIBUSB_ERROR_NO_DEVICE, except closing it.

#include "simulatedusb.h"
#include "virtualclock.h"

#include <libusb.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

struct libusb_context
{
    std::map<int, libusb_device *> devices; // by converter index
};

struct libusb_device
{
    libusb_context *context;
    int index;
    int references;
};

struct libusb_device_handle
{
    libusb_device *device;
    bool autoDetach = false;
    bool claimed = false;
    bool detachedForClaim = false;
};

namespace {

constexpr int PacketSize = 64;
constexpr qint64 FrameMicroseconds = 1000; // full speed
constexpr unsigned char ReadEndpoint = 0x81;
constexpr unsigned char WriteEndpoint = 0x02;
constexpr uint8_t VendorRequestOut =
    LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_DEVICE | LIBUSB_ENDPOINT_OUT;
enum StringIndex : uint8_t
{
    ManufacturerString = 1,
    ProductString,
    SerialNumberString
};

struct Submitted
{
    BulkRead read;
    libusb_device_handle *handle;
    quint64 order;
    bool cancelled = false;
};

std::map<libusb_transfer *, Submitted> submitted;
quint64 submissions = 0;

SimulatedUsb &usb()
{
    return SimulatedUsb::active();
}

// Called first by every function that reaches the bus.
void countCall()
{
    usb().countCall();
}

qint64 now()
{
    return usb().clock().now();
}

// The host controller moves transfers in 1 ms frames, so one that starts now is done at
// the next frame boundary at the earliest.
qint64 nextFrame()
{
    return (now() / FrameMicroseconds + 1) * FrameMicroseconds;
}

SimulatedChip &chipOf(const libusb_device *device)
{
    return usb().converter(device->index);
}

SimulatedChip &chipOf(const libusb_device_handle *handle)
{
    return chipOf(handle->device);
}

bool isGone(const libusb_device_handle *handle)
{
    return !chipOf(handle).isPlugged();
}

bool validRead(int length)
{
    return length >= PacketSize && length % PacketSize == 0;
}

// Whether a bulk transfer reaches the chip at all. The kernel would claim an unclaimed
// interface on the handle's behalf, or refuse while its serial driver holds it; a back end
// that relies on either is wrong, so the double refuses both cases alike.
int bulkEndpointStatus(const libusb_device_handle *handle, unsigned char endpoint)
{
    if (isGone(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    if (endpoint != ReadEndpoint && endpoint != WriteEndpoint)
        return LIBUSB_ERROR_NOT_FOUND;
    return handle->claimed ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

libusb_transfer_status transferStatus(const BulkRead &read)
{
    switch (read.end) {
    case ReadEnd::Completed:
        break;
    case ReadEnd::Failed:
        return LIBUSB_TRANSFER_ERROR;
    case ReadEnd::NoDevice:
        return LIBUSB_TRANSFER_NO_DEVICE;
    }
    return LIBUSB_TRANSFER_COMPLETED;
}

bool hasCompletion(libusb_context *context)
{
    return std::any_of(submitted.begin(), submitted.end(), [context](const auto &entry) {
        return entry.second.handle->device->context == context && entry.second.read.completed >= 0;
    });
}

// Calls the callbacks of the context's ended transfers, in the order they ended.
void deliverCompletions(libusb_context *context)
{
    std::vector<std::pair<libusb_transfer *, Submitted>> ended;
    for (const auto &entry : submitted) {
        if (entry.second.handle->device->context == context && entry.second.read.completed >= 0)
            ended.push_back(entry);
    }
    std::sort(ended.begin(), ended.end(), [](const auto &a, const auto &b) {
        return std::make_pair(a.second.read.completed, a.second.order) <
               std::make_pair(b.second.read.completed, b.second.order);
    });
    for (const auto &[transfer, state] : ended) {
        submitted.erase(transfer);
        transfer->status = state.cancelled ? LIBUSB_TRANSFER_CANCELLED : transferStatus(state.read);
        transfer->actual_length = state.read.received;
        transfer->callback(transfer);
    }
}

const libusb_config_descriptor &ft232rConfiguration()
{
    static libusb_endpoint_descriptor endpoints[2] = {};
    static libusb_interface_descriptor interface = {};
    static libusb_interface interfaces = {};
    static libusb_config_descriptor configuration = {};
    const uint8_t addresses[2] = {ReadEndpoint, WriteEndpoint};
    for (int i = 0; i < 2; ++i) {
        endpoints[i].bLength = LIBUSB_DT_ENDPOINT_SIZE;
        endpoints[i].bDescriptorType = LIBUSB_DT_ENDPOINT;
        endpoints[i].bEndpointAddress = addresses[i];
        endpoints[i].bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
        endpoints[i].wMaxPacketSize = PacketSize;
    }
    interface.bLength = LIBUSB_DT_INTERFACE_SIZE;
    interface.bDescriptorType = LIBUSB_DT_INTERFACE;
    interface.bNumEndpoints = 2;
    interface.bInterfaceClass = LIBUSB_CLASS_VENDOR_SPEC;
    interface.iInterface = ProductString;
    interface.endpoint = endpoints;
    interfaces.altsetting = &interface;
    interfaces.num_altsetting = 1;
    configuration.bLength = LIBUSB_DT_CONFIG_SIZE;
    configuration.bDescriptorType = LIBUSB_DT_CONFIG;
    configuration.bNumInterfaces = 1;
    configuration.bConfigurationValue = 1;
    configuration.interface = &interfaces;
    return configuration;
}

} // namespace

int libusb_init(libusb_context **context)
{
    if (!context)
        return LIBUSB_ERROR_INVALID_PARAM;
    *context = new libusb_context;
    return LIBUSB_SUCCESS;
}

void libusb_exit(libusb_context *context)
{
    if (!context->devices.empty())
        qFatal("libusb_exit: %d devices are still referenced", int(context->devices.size()));
    delete context;
}

// Newest first, as Linux's libusb lists them.
ssize_t libusb_get_device_list(libusb_context *context, libusb_device ***list)
{
    countCall();
    std::vector<libusb_device *> plugged;
    for (int index = usb().converterCount() - 1; index >= 0; --index) {
        if (!usb().converter(index).isPlugged())
            continue;
        libusb_device *&device = context->devices[index];
        if (!device)
            device = new libusb_device{context, index, 0};
        plugged.push_back(libusb_ref_device(device));
    }
    *list = new libusb_device *[plugged.size() + 1];
    std::copy(plugged.begin(), plugged.end(), *list);
    (*list)[plugged.size()] = nullptr;
    return ssize_t(plugged.size());
}

void libusb_free_device_list(libusb_device **list, int unrefDevices)
{
    if (!list)
        return;
    for (libusb_device **device = list; unrefDevices && *device; ++device)
        libusb_unref_device(*device);
    delete[] list;
}

libusb_device *libusb_ref_device(libusb_device *device)
{
    ++device->references;
    return device;
}

void libusb_unref_device(libusb_device *device)
{
    if (--device->references > 0)
        return;
    device->context->devices.erase(device->index);
    delete device;
}

int libusb_get_device_descriptor(libusb_device *device, libusb_device_descriptor *descriptor)
{
    const ChipIdentity &identity = chipOf(device).identity();
    *descriptor = {};
    descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
    descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
    descriptor->bcdUSB = 0x0200;
    descriptor->bMaxPacketSize0 = 8;
    descriptor->idVendor = identity.vendorId;
    descriptor->idProduct = identity.productId;
    descriptor->bcdDevice = identity.bcdDevice;
    descriptor->iManufacturer = ManufacturerString;
    descriptor->iProduct = ProductString;
    descriptor->iSerialNumber = identity.serialNumber.isEmpty() ? 0 : SerialNumberString;
    descriptor->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

int libusb_get_config_descriptor(libusb_device * /*device*/, uint8_t index,
                                 libusb_config_descriptor **configuration)
{
    if (index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    // One static description serves every chip, so there is nothing to free.
    *configuration = const_cast<libusb_config_descriptor *>(&ft232rConfiguration());
    return LIBUSB_SUCCESS;
}

void libusb_free_config_descriptor(libusb_config_descriptor * /*configuration*/) {}

uint8_t libusb_get_bus_number(libusb_device * /*device*/)
{
    return SimulatedUsb::BusNumber;
}

int libusb_get_port_numbers(libusb_device *device, uint8_t *ports, int length)
{
    if (length < 1)
        return LIBUSB_ERROR_OVERFLOW;
    ports[0] = uint8_t(usb().portOf(device->index));
    return 1;
}

uint8_t libusb_get_device_address(libusb_device *device)
{
    return uint8_t(SimulatedUsb::addressOf(device->index));
}

int libusb_open(libusb_device *device, libusb_device_handle **handle)
{
    countCall();
    if (!chipOf(device).isPlugged())
        return LIBUSB_ERROR_NO_DEVICE;
    if (chipOf(device).identity().accessDenied)
        return LIBUSB_ERROR_ACCESS;
    *handle = new libusb_device_handle{libusb_ref_device(device)};
    chipOf(device).countHandles(1);
    return LIBUSB_SUCCESS;
}

void libusb_close(libusb_device_handle *handle)
{
    countCall();
    for (const auto &entry : submitted) {
        if (entry.second.handle == handle)
            qFatal("libusb_close: a transfer is still in flight");
    }
    if (handle->claimed)
        usb().setClaimed(handle->device->index, false);
    chipOf(handle).countHandles(-1);
    libusb_unref_device(handle->device);
    delete handle;
}

int libusb_get_string_descriptor_ascii(libusb_device_handle *handle, uint8_t index,
                                       unsigned char *data, int length)
{
    countCall();
    if (isGone(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    const ChipIdentity &identity = chipOf(handle).identity();
    QByteArray text;
    switch (index) {
    case ManufacturerString:
        text = identity.manufacturer;
        break;
    case ProductString:
        text = identity.description;
        break;
    case SerialNumberString:
        text = identity.serialNumber;
        break;
    default:
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (length < 1)
        return LIBUSB_ERROR_INVALID_PARAM;
    const int count = std::min(int(text.size()), length - 1);
    std::memcpy(data, text.constData(), size_t(count));
    data[count] = '\0';
    return count;
}

int libusb_kernel_driver_active(libusb_device_handle *handle, int interface)
{
    countCall();
    if (isGone(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    if (interface != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    return chipOf(handle).isDriverBound() ? 1 : 0;
}

int libusb_detach_kernel_driver(libusb_device_handle *handle, int interface)
{
    countCall();
    if (isGone(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    if (interface != 0 || !chipOf(handle).isDriverBound())
        return LIBUSB_ERROR_NOT_FOUND;
    usb().setDriverBound(handle->device->index, false);
    return LIBUSB_SUCCESS;
}

// Binds the kernel's serial driver again, to an interface that nobody has claimed.
int libusb_attach_kernel_driver(libusb_device_handle *handle, int interface)
{
    countCall();
    if (isGone(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    SimulatedChip &chip = chipOf(handle);
    if (interface != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    if (chip.isDriverBound() || chip.isClaimed() ||
        chip.identity().holder == ConverterHolder::UsbClaim)
        return LIBUSB_ERROR_BUSY;
    usb().setDriverBound(handle->device->index, true);
    return LIBUSB_SUCCESS;
}

int libusb_set_auto_detach_kernel_driver(libusb_device_handle *handle, int enable)
{
    handle->autoDetach = enable != 0;
    return LIBUSB_SUCCESS;
}

int libusb_get_configuration(libusb_device_handle * /*handle*/, int *configuration)
{
    *configuration = ft232rConfiguration().bConfigurationValue;
    return LIBUSB_SUCCESS;
}

int libusb_set_configuration(libusb_device_handle * /*handle*/, int configuration)
{
    return configuration == ft232rConfiguration().bConfigurationValue ? LIBUSB_SUCCESS
                                                                      : LIBUSB_ERROR_NOT_FOUND;
}

int libusb_claim_interface(libusb_device_handle *handle, int interface)
{
    countCall();
    SimulatedChip &chip = chipOf(handle);
    if (isGone(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    if (interface != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    if (handle->claimed)
        return LIBUSB_SUCCESS;
    if (chip.isClaimed() || chip.identity().holder == ConverterHolder::UsbClaim)
        return LIBUSB_ERROR_BUSY;
    if (chip.isDriverBound()) {
        if (!handle->autoDetach)
            return LIBUSB_ERROR_BUSY;
        // Whoever had the tty open loses it here.
        usb().setDriverBound(handle->device->index, false);
        handle->detachedForClaim = true;
    }
    usb().setClaimed(handle->device->index, true);
    handle->claimed = true;
    return LIBUSB_SUCCESS;
}

int libusb_release_interface(libusb_device_handle *handle, int interface)
{
    countCall();
    if (interface != 0 || !handle->claimed)
        return LIBUSB_ERROR_NOT_FOUND;
    usb().setClaimed(handle->device->index, false);
    handle->claimed = false;
    if (isGone(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    if (handle->detachedForClaim) {
        usb().setDriverBound(handle->device->index, true);
        handle->detachedForClaim = false;
    }
    return LIBUSB_SUCCESS;
}

int libusb_control_transfer(libusb_device_handle *handle, uint8_t requestType, uint8_t request,
                            uint16_t value, uint16_t index, unsigned char * /*data*/,
                            uint16_t length, unsigned int /*timeout*/)
{
    countCall();
    if (isGone(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    if (requestType != VendorRequestOut || length != 0)
        return LIBUSB_ERROR_PIPE;
    usb().waitUntil(nextFrame());
    const bool taken = chipOf(handle).control(request, value, index);
    deliverCompletions(handle->device->context);
    return taken ? 0 : LIBUSB_ERROR_PIPE;
}

// The chip answers every bulk IN request within its latency timer and takes every packet
// within the line time of its transmit buffer, long before the flasher's time-outs; only a
// short write (SimulatedChip::linkFaults()) runs into its time-out.
int libusb_bulk_transfer(libusb_device_handle *handle, unsigned char endpoint, unsigned char *data,
                         int length, int *transferred, unsigned int timeout)
{
    countCall();
    if (const int status = bulkEndpointStatus(handle, endpoint))
        return status;
    SimulatedChip &chip = chipOf(handle);
    usb().catchUp();
    int count = length;
    int status = LIBUSB_SUCCESS;
    if (endpoint == ReadEndpoint) {
        if (!validRead(length))
            return LIBUSB_ERROR_INVALID_PARAM;
        BulkRead read{data, length, 0, now(), -1};
        chip.queueRead(&read);
        usb().waitUntil(SimulatedChip::Never, [&read] { return read.completed >= 0; });
        count = read.received;
        status = read.end == ReadEnd::Completed ? LIBUSB_SUCCESS : LIBUSB_ERROR_IO;
    } else {
        const qint64 frameEnd = nextFrame();
        const qint64 timeoutEnd =
            timeout == 0 ? SimulatedChip::Never : now() + qint64(timeout) * 1000;
        count = chip.acceptedLength(length);
        const qint64 taken =
            count == 0 ? frameEnd
                       : chip.takeFromHost(QByteArray(reinterpret_cast<const char *>(data), count));
        usb().waitUntil(count < length ? timeoutEnd : std::max(frameEnd, taken));
        if (count < length)
            status = LIBUSB_ERROR_TIMEOUT;
    }
    if (transferred)
        *transferred = count;
    deliverCompletions(handle->device->context);
    return status;
}

libusb_transfer *libusb_alloc_transfer(int isoPackets)
{
    return isoPackets == 0 ? new libusb_transfer() : nullptr;
}

void libusb_free_transfer(libusb_transfer *transfer)
{
    if (submitted.count(transfer))
        qFatal("libusb_free_transfer: the transfer is still in flight");
    delete transfer;
}

int libusb_submit_transfer(libusb_transfer *transfer)
{
    countCall();
    if (submitted.count(transfer))
        return LIBUSB_ERROR_BUSY;
    if (transfer->type != LIBUSB_TRANSFER_TYPE_BULK)
        return LIBUSB_ERROR_NOT_SUPPORTED;
    if (const int status = bulkEndpointStatus(transfer->dev_handle, transfer->endpoint))
        return status;
    if (transfer->endpoint != ReadEndpoint)
        return LIBUSB_ERROR_NOT_SUPPORTED;
    if (!validRead(transfer->length))
        return LIBUSB_ERROR_INVALID_PARAM;
    usb().catchUp();
    Submitted &state = submitted[transfer];
    state.read = {transfer->buffer, transfer->length, 0, now(), -1};
    state.handle = transfer->dev_handle;
    state.order = submissions++;
    chipOf(state.handle).queueRead(&state.read);
    return LIBUSB_SUCCESS;
}

int libusb_cancel_transfer(libusb_transfer *transfer)
{
    countCall();
    usb().catchUp();
    const auto found = submitted.find(transfer);
    if (found == submitted.end() || found->second.read.completed >= 0)
        return LIBUSB_ERROR_NOT_FOUND;
    Submitted &state = found->second;
    chipOf(state.handle).cancelRead(&state.read);
    state.cancelled = true;
    state.read.completed = now();
    return LIBUSB_SUCCESS;
}

int libusb_handle_events_timeout_completed(libusb_context *context, timeval *tv, int *completed)
{
    countCall();
    if (usb().isEventHandlingBroken())
        return LIBUSB_ERROR_IO;
    if (completed && *completed)
        return LIBUSB_SUCCESS;
    const qint64 deadline =
        tv ? now() + qint64(tv->tv_sec) * 1000000 + tv->tv_usec : SimulatedChip::Never;
    usb().waitUntil(deadline, [context] { return hasCompletion(context); });
    deliverCompletions(context);
    return LIBUSB_SUCCESS;
}

int libusb_handle_events_timeout(libusb_context *context, timeval *tv)
{
    return libusb_handle_events_timeout_completed(context, tv, nullptr);
}

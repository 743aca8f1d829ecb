// D2XX operations over the converters of the active SimulatedFtdi, for tests, the
// benchmark and the demo.

#include "d2xx.h"
#include "simulatedftdi.h"
#include "virtualclock.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>

namespace {

void copyString(const QByteArray &text, char *field, int fieldSize)
{
    const int length = std::min(int(text.size()), fieldSize - 1);
    std::memcpy(field, text.constData(), size_t(length));
    field[length] = '\0';
}

// Counts the call and finds the converter behind the handle; anything but FT_OK is the
// call's result.
FT_STATUS begin(SimulatedFtdi::Operation operation, FT_HANDLE handle,
                SimulatedConverter *&converter)
{
    SimulatedFtdi &ftdi = SimulatedFtdi::active();
    if (const auto injected = ftdi.beginCall(operation))
        return *injected;
    const int index = ftdi.converterIndex(handle);
    if (index < 0)
        return FT_INVALID_HANDLE;
    converter = &ftdi.converter(index);
    // As the USB transfers to a converter that is gone fail.
    return converter->isPlugged() ? FT_OK : FT_IO_ERROR;
}

// The index of the converter at this place of the list, or -1.
int listedIndex(uint32_t listIndex)
{
    return listIndex <= uint32_t(INT_MAX) ? SimulatedFtdi::active().listedConverter(int(listIndex))
                                          : -1;
}

// The converter at this place of the list, or null.
SimulatedConverter *listed(uint32_t listIndex)
{
    const int index = listedIndex(listIndex);
    return index < 0 ? nullptr : &SimulatedFtdi::active().converter(index);
}

FtdiIdentity identityOf(SimulatedConverter &converter)
{
    FtdiIdentity identity{};
    copyString(converter.identity().serialNumber, identity.serialNumber,
               sizeof identity.serialNumber);
    copyString(converter.identity().location, identity.location, sizeof identity.location);
    return identity;
}

FT_STATUS openConverter(int index, FT_HANDLE *handle)
{
    SimulatedFtdi &ftdi = SimulatedFtdi::active();
    if (index < 0)
        return FT_DEVICE_NOT_FOUND;
    const SimulatedConverter &converter = ftdi.converter(index);
    if (converter.isHeld() || converter.isOpen())
        return FT_DEVICE_NOT_OPENED;
    *handle = ftdi.openHandle(index);
    return FT_OK;
}

// The vendor's node holds a serial number as long as its field without a terminating NUL.
void copySerialField(const QByteArray &text, char (&field)[16])
{
    const int length = std::min(int(text.size()), int(sizeof field));
    std::memcpy(field, text.constData(), size_t(length));
    std::fill(field + length, std::end(field), '\0');
}

// The node that the vendor's list holds for a converter.
FT_DEVICE_LIST_INFO_NODE nodeOf(SimulatedConverter &converter)
{
    const ConverterIdentity &identity = converter.identity();
    FT_DEVICE_LIST_INFO_NODE node{};
    node.Flags = converter.isHeld() || converter.isOpen() ? FT_FLAGS_OPENED : 0;
    node.Type = identity.type;
    node.ID = uint32_t(identity.vendorId) << 16 | identity.productId;
    node.LocId = 0;
    copySerialField(identity.serialNumber, node.SerialNumber);
    copyString(identity.description, node.Description, sizeof node.Description);
    node.ftHandle = nullptr;
    return node;
}

} // namespace

FT_STATUS FT_ListDevices(void *arg1, void * /*arg2*/, uint32_t flags)
{
    SimulatedFtdi &ftdi = SimulatedFtdi::active();
    if (const auto injected = ftdi.beginCall(SimulatedFtdi::ListDevices))
        return *injected;
    if (flags != FT_LIST_NUMBER_ONLY)
        return FT_NOT_SUPPORTED;
    if (!arg1)
        return FT_INVALID_PARAMETER;
    *static_cast<uint32_t *>(arg1) = uint32_t(ftdi.listedCount());
    return FT_OK;
}

FT_STATUS FT_CreateDeviceInfoList(uint32_t *deviceCount)
{
    SimulatedFtdi &ftdi = SimulatedFtdi::active();
    if (const auto injected = ftdi.beginCall(SimulatedFtdi::CreateDeviceInfoList))
        return *injected;
    if (!deviceCount)
        return FT_INVALID_PARAMETER;
    *deviceCount = uint32_t(ftdi.listedCount());
    return FT_OK;
}

// *deviceCount is the capacity of nodes on entry and the number of nodes filled on return.
FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *nodes, uint32_t *deviceCount)
{
    SimulatedFtdi &ftdi = SimulatedFtdi::active();
    if (const auto injected = ftdi.beginCall(SimulatedFtdi::GetDeviceInfoList))
        return *injected;
    if (!deviceCount || (!nodes && *deviceCount > 0))
        return FT_INVALID_PARAMETER;
    const int count = std::min(int(*deviceCount), ftdi.listedCount());
    for (int i = 0; i < count; ++i)
        nodes[i] = nodeOf(*listed(uint32_t(i)));
    *deviceCount = uint32_t(count);
    return FT_OK;
}

FT_STATUS FT_GetDeviceInfoDetail(uint32_t index, uint32_t *flags, uint32_t *type, uint32_t *id,
                                 uint32_t *locId, char *serialNumber, char *description,
                                 FT_HANDLE *handle)
{
    SimulatedFtdi &ftdi = SimulatedFtdi::active();
    if (const auto injected = ftdi.beginCall(SimulatedFtdi::GetDeviceInfoDetail))
        return *injected;
    if (!listed(index))
        return FT_DEVICE_NOT_FOUND;
    SimulatedConverter &converter = *listed(index);
    const FT_DEVICE_LIST_INFO_NODE node = nodeOf(converter);
    if (flags)
        *flags = node.Flags;
    if (type)
        *type = node.Type;
    if (id)
        *id = node.ID;
    if (locId)
        *locId = node.LocId;
    // Unlike the node's field, these strings come back terminated.
    if (serialNumber)
        copyString(converter.identity().serialNumber, serialNumber, sizeof node.SerialNumber);
    if (description)
        std::memcpy(description, node.Description, sizeof node.Description);
    if (handle)
        *handle = node.ftHandle;
    return FT_OK;
}

FT_STATUS FT_Open(int deviceIndex, FT_HANDLE *handle)
{
    SimulatedFtdi &ftdi = SimulatedFtdi::active();
    if (const auto injected = ftdi.beginCall(SimulatedFtdi::Open))
        return *injected;
    if (!handle)
        return FT_INVALID_PARAMETER;
    *handle = nullptr;
    return openConverter(deviceIndex < 0 ? -1 : listedIndex(uint32_t(deviceIndex)), handle);
}

FT_STATUS FT_Close(FT_HANDLE handle)
{
    SimulatedConverter *converter = nullptr;
    const FT_STATUS status = begin(SimulatedFtdi::Close, handle, converter);
    // The handle of a converter that is gone is closed all the same.
    if (status == FT_OK || (converter && !converter->isPlugged()))
        SimulatedFtdi::active().closeHandle(handle);
    return status;
}

FT_STATUS FT_SetTimeouts(FT_HANDLE handle, uint32_t readTimeoutMs, uint32_t writeTimeoutMs)
{
    SimulatedConverter *converter = nullptr;
    if (const FT_STATUS status = begin(SimulatedFtdi::SetTimeouts, handle, converter))
        return status;
    converter->lineSettings().readTimeoutMs = readTimeoutMs;
    converter->lineSettings().writeTimeoutMs = writeTimeoutMs;
    return FT_OK;
}

FT_STATUS FT_SetBaudRate(FT_HANDLE handle, uint32_t baudRate)
{
    SimulatedConverter *converter = nullptr;
    if (const FT_STATUS status = begin(SimulatedFtdi::SetBaudRate, handle, converter))
        return status;
    if (baudRate == 0)
        return FT_INVALID_BAUD_RATE;
    converter->lineSettings().baudRate = baudRate;
    return FT_OK;
}

FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, uint8_t milliseconds)
{
    SimulatedConverter *converter = nullptr;
    if (const FT_STATUS status = begin(SimulatedFtdi::SetLatencyTimer, handle, converter))
        return status;
    converter->lineSettings().latencyTimerMs = milliseconds;
    return FT_OK;
}

FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength, uint8_t stopBits,
                                    uint8_t parity)
{
    SimulatedConverter *converter = nullptr;
    if (const FT_STATUS status = begin(SimulatedFtdi::SetDataCharacteristics, handle, converter))
        return status;
    LineSettings &settings = converter->lineSettings();
    settings.wordLength = wordLength;
    settings.stopBits = stopBits;
    settings.parity = parity;
    return FT_OK;
}

FT_STATUS FT_SetBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode)
{
    SimulatedConverter *converter = nullptr;
    const FT_STATUS status = begin(SimulatedFtdi::SetBitMode, handle, converter);
    if (status == FT_OK)
        converter->setBitMode(mask, mode);
    SimulatedFtdi::active().recordBitMode(handle, mask, mode, status);
    return status;
}

FT_STATUS FT_SetChars(FT_HANDLE handle, uint8_t eventChar, uint8_t eventCharEnabled,
                      uint8_t /*errorChar*/, uint8_t /*errorCharEnabled*/)
{
    SimulatedConverter *converter = nullptr;
    if (const FT_STATUS status = begin(SimulatedFtdi::SetChars, handle, converter))
        return status;
    converter->lineSettings().eventChar = eventChar;
    converter->lineSettings().eventCharEnabled = eventCharEnabled != 0;
    return FT_OK;
}

FT_STATUS FT_Write(FT_HANDLE handle, const void *buffer, uint32_t length, uint32_t *written)
{
    SimulatedConverter *converter = nullptr;
    if (const FT_STATUS status = begin(SimulatedFtdi::Write, handle, converter))
        return status;
    if (!written || (!buffer && length > 0) || length > INT_MAX)
        return FT_INVALID_PARAMETER;
    *written = SimulatedFtdi::active().acceptedWriteLength(length);
    converter->write(QByteArray(static_cast<const char *>(buffer), int(*written)));
    return FT_OK;
}

FT_STATUS FT_Read(FT_HANDLE handle, void *buffer, uint32_t length, uint32_t *received)
{
    SimulatedConverter *converter = nullptr;
    if (const FT_STATUS status = begin(SimulatedFtdi::Read, handle, converter))
        return status;
    if (!received || (!buffer && length > 0))
        return FT_INVALID_PARAMETER;
    const QByteArray bytes = converter->read(int(std::min<uint32_t>(length, INT_MAX)));
    std::copy(bytes.cbegin(), bytes.cend(), static_cast<char *>(buffer));
    *received = uint32_t(bytes.size());
    return FT_OK;
}

FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, uint32_t *receivedWaiting)
{
    SimulatedConverter *converter = nullptr;
    if (const FT_STATUS status = begin(SimulatedFtdi::GetQueueStatus, handle, converter))
        return status;
    if (!receivedWaiting)
        return FT_INVALID_PARAMETER;
    *receivedWaiting = uint32_t(converter->bytesWaiting());
    return FT_OK;
}

FT_STATUS FT_GetStatus(FT_HANDLE handle, uint32_t *receivedWaiting, uint32_t *transmitWaiting,
                       uint32_t *eventState)
{
    SimulatedConverter *converter = nullptr;
    if (const FT_STATUS status = begin(SimulatedFtdi::GetStatus, handle, converter))
        return status;
    if (!receivedWaiting || !transmitWaiting || !eventState)
        return FT_INVALID_PARAMETER;
    *receivedWaiting = uint32_t(converter->bytesWaiting());
    // Writes take their wire time before they return, so only a held queue is reported.
    *transmitWaiting = converter->takeTransmitWaiting();
    *eventState = 0;
    return FT_OK;
}

// Bytes become readable the moment they arrive, so the wait ends then.
FT_STATUS ftdiWaitForData(FT_HANDLE handle, uint32_t milliseconds, uint32_t *receivedWaiting)
{
    SimulatedConverter *converter = nullptr;
    if (const FT_STATUS status = begin(SimulatedFtdi::WaitForData, handle, converter))
        return status;
    if (!receivedWaiting)
        return FT_INVALID_PARAMETER;
    converter->waitForBytes(SimulatedFtdi::active().clock().now() + qint64(milliseconds) * 1000);
    *receivedWaiting = uint32_t(converter->bytesWaiting());
    return FT_OK;
}

FT_STATUS ftdiGetListedDevice(uint32_t index, FtdiIdentity *identity, FtdiHolder *holder)
{
    if (const auto injected = SimulatedFtdi::active().beginCall(SimulatedFtdi::GetListedDevice))
        return *injected;
    SimulatedConverter *converter = listed(index);
    if (!converter)
        return FT_DEVICE_NOT_FOUND;
    if (identity)
        *identity = identityOf(*converter);
    if (holder)
        *holder = converter->identity().holder;
    return FT_OK;
}

FT_STATUS ftdiGetIdentity(FT_HANDLE handle, FtdiIdentity *identity)
{
    SimulatedConverter *converter = nullptr;
    if (const FT_STATUS status = begin(SimulatedFtdi::GetIdentity, handle, converter))
        return status;
    if (!identity)
        return FT_INVALID_PARAMETER;
    *identity = identityOf(*converter);
    return FT_OK;
}

FT_STATUS ftdiOpenIdentity(const FtdiIdentity *identity, FT_HANDLE *handle)
{
    if (const auto injected = SimulatedFtdi::active().beginCall(SimulatedFtdi::OpenIdentity))
        return *injected;
    if (!identity || !handle)
        return FT_INVALID_PARAMETER;
    *handle = nullptr;
    for (uint32_t index = 0; SimulatedConverter *converter = listed(index); ++index) {
        if (sameIdentity(identityOf(*converter), *identity))
            return openConverter(listedIndex(index), handle);
    }
    return FT_DEVICE_NOT_FOUND;
}

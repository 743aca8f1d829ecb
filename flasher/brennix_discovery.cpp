#include "brennix.h"

#include "clock.h"
#include "devicetext.h"

#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

namespace {

ModunaPaths currentModunaPaths;

// CBUS bit-bang masks: the upper nibble makes CBUS0..3 outputs, the lower nibble gives
// their levels. CBUS0 drives the adapter's reset, which is active low.
constexpr uint8_t CbusResetReleased = 0xF1;
constexpr uint8_t CbusResetAsserted = 0xF0;

FT_STATUS setCbusPins(uint8_t mask)
{
    return FT_SetBitMode(ftdiHandle, mask, FT_BITMODE_CBUS_BITBANG);
}

// Follows a failed open with what the system tells about who holds the converter; the
// process name and the paths are any bytes another user chose.
void printHolderLine(const FtdiHolder &holder)
{
    const QByteArray path = visibleText(holder.path, LineEnds::Escaped);
    switch (holder.kind) {
    case FtdiPermissionDenied:
        printf("permission denied for /dev/bus/usb/%03u/%03u: install brennix's udev rule "
               "(60-brennix-ftdi.rules) and join the plugdev group, or run as root\n",
               holder.bus, holder.address);
        break;
    case FtdiTtyOpen:
        printf("in use by %s (pid %d) through %s\n",
               visibleText(holder.program, LineEnds::Escaped).constData(), int(holder.processId),
               path.constData());
        break;
    case FtdiTtyLocked:
        printf("in use: %s names pid %d\n", path.constData(), int(holder.processId));
        break;
    case FtdiClaimed:
        printf("claimed through libusb by another program\n");
        break;
    default:
        break;
    }
}

void printListedHolder(uint32_t index)
{
    FtdiHolder holder{};
    if (ftdiGetListedDevice(index, nullptr, &holder) == FT_OK)
        printHolderLine(holder);
}

bool cbusPinsSet(uint8_t mask, FT_STATUS status)
{
    if (status != FT_OK)
        printf("FTDI failed to set BitMask 0x%02X, status = %d\n", unsigned(mask), int(status));
    return status == FT_OK;
}

// The port of the Moduna module, or an empty string when this machine has none.
QString modunaPort()
{
    const ModunaPaths &paths = modunaPaths();
    const QFileInfo link(paths.serialLink);
    if (link.exists() && link.isSymLink()) {
        const QString target = link.symLinkTarget();
        if (target.endsWith(QLatin1String("ttyAMA0")) || target.endsWith(QLatin1String("ttyS0")))
            return target;
    }
    if (QFileInfo::exists(paths.uart))
        return paths.uart;
    return QString();
}

} // namespace

const ModunaPaths &modunaPaths()
{
    return currentModunaPaths;
}

void setModunaPaths(const ModunaPaths &paths)
{
    currentModunaPaths = paths;
}

bool Brennix::chooseDefaultDevice()
{
    const QString port = modunaPort();
    if (port.isEmpty())
        return false;
    printf("no device specified use Moduna (%s)\n", qPrintable(port));
    serialPort.setPortName(port);
    deviceKind = SerialDevice;
    return true;
}

int Brennix::listDevices()
{
    const QString port = modunaPort();
    if (!port.isEmpty())
        printf("Moduna: %s (default)\n", qPrintable(port));

    uint32_t count = 0;
    if (FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY) != FT_OK)
        return -1;
    if (count == 0) {
        printf("\nno FTDI devices found\n");
        return 0;
    }
    printf("\n       %u  FTDI %s found\n\n", count, count == 1 ? "device" : "devices");
    printf(" device | vendor | product | serial  | description\n");
    printf("--------|--------|---------|---------|----------------------\n");
    // Opening a converter would reset it and take its tty from whoever uses it, so the
    // details come from the device-information list, which opens nothing.
    uint32_t listed = 0;
    const FT_STATUS listStatus = FT_CreateDeviceInfoList(&listed);
    for (uint32_t index = 0; index < count; ++index) {
        uint32_t flags = 0;
        uint32_t type = 0;
        uint32_t id = 0;
        uint32_t locationId = 0;
        char serial[sizeof FT_DEVICE_LIST_INFO_NODE::SerialNumber] = {};
        char description[sizeof FT_DEVICE_LIST_INFO_NODE::Description] = {};
        FT_HANDLE handle = nullptr;
        FT_STATUS status = listStatus;
        if (status == FT_OK)
            status = FT_GetDeviceInfoDetail(index, &flags, &type, &id, &locationId, serial,
                                            description, &handle);
        // What opening a device in use elsewhere would give.
        if (status == FT_OK && (flags & FT_FLAGS_OPENED))
            status = FT_DEVICE_NOT_OPENED;
        if (status != FT_OK) {
            printf("failed to open FTDI device (%u) status = %d\n\n", index, int(status));
            printListedHolder(index);
            continue;
        }
        printf("   %u    | 0x%04X | 0x%04X  | %s | %s\n", index, id >> 16, id & 0xFFFF,
               visibleText(serial, LineEnds::Escaped).constData(),
               visibleText(description, LineEnds::Escaped).constData());
    }
    return 0;
}

bool Brennix::findDeviceBySerial(const QString &serial, uint32_t *index)
{
    uint32_t count = 0;
    if (FT_CreateDeviceInfoList(&count) != FT_OK || count == 0) {
        printf("\nno FTDI devices found\n");
        return false;
    }
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(count);
    if (FT_GetDeviceInfoList(nodes.data(), &count) != FT_OK) {
        printf("failed to get FTDI details\n");
        return false;
    }
    const QByteArray wanted = serial.toLocal8Bit();
    std::optional<uint32_t> unopenable;
    for (uint32_t i = 0; i < std::min<size_t>(count, nodes.size()); ++i) {
        const FT_DEVICE_LIST_INFO_NODE &node = nodes[i];
        // The field need not be terminated; its last byte never counts.
        const QByteArray nodeSerial(node.SerialNumber,
                                    int(qstrnlen(node.SerialNumber, sizeof node.SerialNumber - 1)));
        if (nodeSerial != wanted)
            continue;
        // A device held by another process could not be flashed anyway.
        if (!(node.Flags & FT_FLAGS_OPENED)) {
            *index = i;
            FtdiIdentity identity{};
            if (ftdiGetListedDevice(i, &identity, nullptr) == FT_OK)
                chosenConverter = identity;
            return true;
        }
        if (!unopenable)
            unopenable = i;
    }
    if (unopenable)
        printListedHolder(*unopenable);
    return false;
}

void Brennix::explainOpenFailure(FT_STATUS status)
{
    if (status == FT_DEVICE_NOT_FOUND && chosenConverter) {
        const QByteArray serial = visibleText(chosenConverter->serialNumber, LineEnds::Escaped);
        printf("error: FTDI device %u (serial %s at USB %s) is gone; no other device is used "
               "in its place\n",
               ftdiIndex, serial.isEmpty() ? "none" : serial.constData(),
               visibleText(chosenConverter->location, LineEnds::Escaped).constData());
        return;
    }
    uint32_t count = 0;
    if (FT_CreateDeviceInfoList(&count) != FT_OK)
        return;
    for (uint32_t index = 0; index < count; ++index) {
        FtdiIdentity identity{};
        if (ftdiGetListedDevice(index, &identity, nullptr) != FT_OK)
            continue;
        if (chosenConverter ? sameIdentity(identity, *chosenConverter) : index == ftdiIndex) {
            printListedHolder(index);
            return;
        }
    }
}

int Brennix::resetDevice()
{
    if (deviceKind == SerialDevice)
        return resetThroughGpio();
    // An FTDI converter drives the adapter's reset through its CBUS0 pin.
    if (deviceKind != FtdiDevice)
        return -1;
    if (isOpen)
        closeDevice();
    printf("reset via FTDI\n");

    FT_STATUS status = openChosenConverter();
    if (status != FT_OK) {
        printf("FTDI can't open device %u, status = %d\n", ftdiIndex, int(status));
        explainOpenFailure(status);
        return -1;
    }
    isOpen = true;

    status = setCbusPins(CbusResetReleased);
    if (status == FT_INVALID_HANDLE) {
        // Nothing is open that a later close could release.
        isOpen = false;
        return -1;
    }
    if (!cbusPinsSet(CbusResetReleased, status))
        return -1;
    // The pulse always runs to its end, a signal takes effect after it; a failure in between
    // leaves ending it to the close.
    resetAsserted = true;
    if (!cbusPinsSet(CbusResetAsserted, setCbusPins(CbusResetAsserted)))
        return -1;
    FlasherClock::sleepMilliseconds(ResetPulseMs);
    if (!cbusPinsSet(CbusResetReleased, setCbusPins(CbusResetReleased)))
        return -1;
    resetAsserted = false;
    FlasherClock::sleepMilliseconds(ResetRecoveryMs);

    status = FT_SetBitMode(ftdiHandle, 0x00, FT_BITMODE_RESET);
    if (status != FT_OK) {
        printf("FTDI failed to set reset to normal mode, status = %d\n", int(status));
        return -1;
    }
    status = FT_Close(ftdiHandle);
    if (status != FT_OK)
        printf("FTDI failed to close handle, status = %d\n", int(status));
    isOpen = false;
    return 0;
}

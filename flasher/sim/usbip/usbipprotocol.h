#ifndef USBIPPROTOCOL_H
#define USBIPPROTOCOL_H

#include <cstddef>
#include <cstdint>

// What usbip-server and usbip-attach say to each other before a connection carries URBs:
// the import of one device by its bus ID (the kernel's usbip_protocol.rst). Numbers are
// big-endian on the wire.
namespace UsbIp {

constexpr uint16_t ProtocolVersion = 0x0111;
constexpr uint16_t ImportRequest = 0x8003;
constexpr uint16_t ImportReply = 0x0003;
// Version, code and status.
constexpr size_t OperationHeaderLength = 8;
constexpr size_t BusIdLength = 32;
constexpr size_t PathLength = 256;
// The exported device: path, bus ID, then bus number, device number and speed as 32-bit
// numbers, and the descriptor fields.
constexpr size_t NumbersOffset = PathLength + BusIdLength;
constexpr size_t DeviceRecordLength = NumbersOffset + 24;

} // namespace UsbIp

#endif // USBIPPROTOCOL_H

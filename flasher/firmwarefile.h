#ifndef FIRMWAREFILE_H
#define FIRMWAREFILE_H

// Reads a firmware file into imageBuffer and checks it before anything reaches a device.
// A file either starts with a 14-byte little-endian header (magic 0xCAFEFEED, type,
// target address, size, CRC-8) or is a raw image as a whole.

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

constexpr std::size_t ImageBufferSize = 500000;

// The file's first bytes; what lies behind them is 0x00.
extern uint8_t imageBuffer[ImageBufferSize];

// What the bootloader is told about the image and where its bytes are.
struct FirmwareImage
{
    uint32_t offset = 0; // start of the image in imageBuffer
    uint8_t type = 0;
    uint32_t targetAddress = 0;
    uint32_t size = 0;
    uint8_t crc = 0;
};

struct FirmwareFile
{
    FirmwareImage image;
    QByteArray error; // the message to print when the file is rejected, else empty

    bool isAccepted() const { return error.isEmpty(); }
};

// CRC-8, polynomial 0x31, most significant bit first, no reflection, no final XOR.
uint8_t crc8(uint8_t initial, const uint8_t *bytes, std::size_t length);

FirmwareFile loadFirmwareFile(const QString &path);

#endif // FIRMWAREFILE_H

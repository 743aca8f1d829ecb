#include "firmwarefile.h"

#include <QtEndian>

#include <cstdarg>
#include <cstdio>
#include <cstring>

uint8_t imageBuffer[ImageBufferSize];

namespace {

constexpr uint32_t HeaderMagic = 0xCAFEFEED;
constexpr std::size_t HeaderSize = 14;
constexpr uint8_t EepromType = 11;
constexpr uint32_t MaximumImageSize = 0x3E000;
constexpr uint32_t EepromFirstAddress = 0x10;
constexpr uint64_t EepromEndAddress = 0x1FDF;

QByteArray formatMessage(const char *format, ...) __attribute__((format(printf, 1, 2)));

QByteArray formatMessage(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    va_list measuring;
    va_copy(measuring, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    QByteArray message(length, '\0');
    std::vsnprintf(message.data(), static_cast<std::size_t>(length) + 1, format, arguments);
    va_end(arguments);
    return message;
}

FirmwareFile rejected(const QByteArray &message)
{
    FirmwareFile file;
    file.error = message;
    return file;
}

std::size_t readIntoImageBuffer(std::FILE *stream)
{
    const std::size_t length = std::fread(imageBuffer, 1, ImageBufferSize, stream);
    // Keeps "missing bytes are 0x00" true when a process loads more than one file.
    std::memset(imageBuffer + length, 0, ImageBufferSize - length);
    return length;
}

QByteArray checkFields(const FirmwareImage &image)
{
    if (image.type > EepromType)
        return "error: invalid flash image type\n";
    if (image.size > MaximumImageSize)
        return "error: firmware file size mismatch\n";
    if (image.type == EepromType) {
        const uint64_t end = uint64_t(image.targetAddress) + image.size;
        if (image.targetAddress < EepromFirstAddress || end > EepromEndAddress)
            return "error: invalid EEPROM target address\n";
    } else if (image.targetAddress != 0) {
        return "error: invalid firmware target address\n";
    }
    return {};
}

} // namespace

uint8_t crc8(uint8_t initial, const uint8_t *bytes, std::size_t length)
{
    uint8_t crc = initial;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80) ? uint8_t((crc << 1) ^ 0x31) : uint8_t(crc << 1);
    }
    return crc;
}

FirmwareFile loadFirmwareFile(const QString &path)
{
    const QByteArray localPath = path.toLocal8Bit();
    std::FILE *stream = std::fopen(localPath.constData(), "rb");
    if (!stream)
        return rejected(formatMessage("error opening firmware file %s\n", localPath.constData()));
    const std::size_t length = readIntoImageBuffer(stream);
    std::fclose(stream);

    if (length < HeaderSize)
        return rejected("error: invalid input file format, file too short\n");

    FirmwareFile file;
    FirmwareImage &image = file.image;
    if (qFromLittleEndian<uint32_t>(imageBuffer) == HeaderMagic) {
        image.offset = HeaderSize;
        image.type = imageBuffer[4];
        image.targetAddress = qFromLittleEndian<uint32_t>(imageBuffer + 5);
        image.size = qFromLittleEndian<uint32_t>(imageBuffer + 9);
        image.crc = imageBuffer[13];
        if (image.type == 0) {
            // The CRC covers the declared size, which must stay inside the buffer.
            if (image.size > ImageBufferSize - HeaderSize)
                return rejected("error: firmware file size mismatch\n");
            const uint8_t computed = crc8(0, imageBuffer + HeaderSize, image.size);
            if (computed != image.crc)
                return rejected(
                    formatMessage("error: invalid crc in input file: 0x%02X, expected 0x%02X\n",
                                  unsigned(image.crc), unsigned(computed)));
        }
    } else {
        image.size = uint32_t(length);
        image.crc = crc8(0, imageBuffer, length);
    }

    file.error = checkFields(image);
    return file;
}

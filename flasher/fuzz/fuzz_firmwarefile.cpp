// Any bytes as the content of a firmware file. The loader must end with acceptance or
// exactly one of its messages, and what it accepts must be the file's bytes followed by
// zeros, inside imageBuffer. ASan guards only the ends of the buffer, so a read that stays
// inside it but beyond the image is caught by the checks here.

#include "firmwarefile.h"
#include "fuzzsupport.h"

#include <QByteArray>
#include <QString>
#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace {

using FuzzSupport::MemoryFile;
using FuzzSupport::require;

constexpr uint32_t HeaderMagic = 0xCAFEFEED;
constexpr std::size_t HeaderSize = 14;
const char CrcMessageFormat[] = "error: invalid crc in input file: 0x%02X, expected 0x%02X\n";

// The CRC message is the only one with values in it; the stored CRC, named first, is the
// file's byte 13.
bool isCrcMessage(const QByteArray &error, uint8_t storedCrc)
{
    bool isNumber = false;
    const uint computedCrc = error.mid(error.lastIndexOf("0x") + 2, 2).toUInt(&isNumber, 16);
    return isNumber &&
           error == QString::asprintf(CrcMessageFormat, storedCrc, computedCrc).toLatin1();
}

bool isLoaderMessage(const QByteArray &error, const QString &path, const uint8_t *data,
                     std::size_t size)
{
    const QByteArray fixedMessages[] = {
        "error opening firmware file " + path.toLocal8Bit() + "\n",
        "error: invalid input file format, file too short\n",
        "error: invalid flash image type\n",
        "error: firmware file size mismatch\n",
        "error: invalid EEPROM target address\n",
        "error: invalid firmware target address\n",
    };
    return std::find(std::begin(fixedMessages), std::end(fixedMessages), error) !=
               std::end(fixedMessages) ||
           (size >= HeaderSize && isCrcMessage(error, data[13]));
}

void checkAcceptedImage(const FirmwareImage &image, const uint8_t *data, std::size_t size)
{
    const std::size_t bytesRead = std::min(size, ImageBufferSize);
    const bool hasHeader = qFromLittleEndian<uint32_t>(data) == HeaderMagic;
    require(image.offset == (hasHeader ? HeaderSize : 0), "the image starts after the header");
    if (!hasHeader)
        require(image.size == bytesRead, "a raw image is the whole file");

    const uint64_t end = uint64_t(image.offset) + image.size;
    require(end <= ImageBufferSize, "an accepted image lies inside imageBuffer");
    require(std::memcmp(imageBuffer, data, bytesRead) == 0, "imageBuffer holds the file");
    require(std::all_of(imageBuffer + bytesRead, imageBuffer + std::max<uint64_t>(end, bytesRead),
                        [](uint8_t byte) { return byte == 0; }),
            "image bytes beyond the file are 0x00");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    static MemoryFile file;
    file.replaceContent(data, size);

    const FirmwareFile loaded = loadFirmwareFile(file.path());

    if (loaded.isAccepted()) {
        require(size >= HeaderSize, "a file shorter than a header is rejected");
        checkAcceptedImage(loaded.image, data, size);
    } else {
        require(isLoaderMessage(loaded.error, file.path(), data, size),
                "a rejection is exactly one of the loader's messages");
    }
    return 0;
}

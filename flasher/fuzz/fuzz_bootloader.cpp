// The bytes a bootloader sends, fed to a whole flashing run of the flasher through a
// simulated converter on the virtual clock. The bootloader behind the converter only
// replays the input: reply n answers the flasher's n-th write, whatever that write was.
//
// Input: the first byte picks the image (ImageSizes, by its value modulo 4). The rest is
// a list of replies separated by "|||"; a reply is one delay byte d followed by the bytes
// to send, which start d² ms after the end of the write they answer, so that small delays
// are fine-grained and the largest (65 s) outlasts every wait of the flasher. An empty
// piece is a silent reply.
//
// What must hold: the run ends within the virtual time that the flasher's own limits
// allow, with the device closed; it exits 0 exactly when it has sent the final block and
// then read a verdict with "VALID CRC" and without "INVALID CRC", and only then does its
// output end with "SUCCESS\n"; every byte it writes is a wake-up byte, the image's one
// descriptor after a "READY", or the block that a complete request asked for, with the
// bytes that imageBuffer holds at that block's offset.

#include "brennix.h"
#include "firmwarefile.h"
#include "fuzzsupport.h"
#include "simulatedftdi.h"
#include "virtualclock.h"

#include <QCoreApplication>
#include <QtEndian>

#include <cstdio>
#include <iterator>

namespace {

using FuzzSupport::MemoryFile;
using FuzzSupport::OutputCapture;
using FuzzSupport::require;

constexpr uint32_t ImageSizes[] = {0, 200, 0x1234, 4096};
// The file holds more bytes behind the declared image, so that a request beyond the
// image is answered from the file and a wrong offset shows there too.
constexpr int BytesBeyondImage = 0x300;
const QByteArray ReplySeparator = "|||";

constexpr uint32_t HeaderMagic = 0xCAFEFEED;
constexpr int HeaderSize = 14;
const char WakeUpSequence[] = {0x1A, 0x1C, char(0xA9), char(0xAE)};
constexpr int WakeUpLength = int(std::size(WakeUpSequence));
constexpr int WakeUpAttempts = 16;
constexpr int BlockLength = 256;
constexpr int RequestLength = 6; // "GET", block number low and high byte, ";"

// The longest run the flasher's limits allow, in the virtual clock's microseconds. A poll
// waits at most 5 ms, so the block service's bound of 2000 polls allows 10 s before each
// byte it reads; every other phase has a fixed length.
constexpr qint64 Millisecond = 1000;
constexpr qint64 ByteOnWire = 261; // 10 bits at 38400 baud, rounded up
constexpr qint64 ResetAndSettle = (200 + 20 + 50) * Millisecond;
// An attempt waits up to 10 polls more for the rest of a keyword that the text ends with.
constexpr qint64 WakeUpAttempt =
    WakeUpLength * ByteOnWire + (200 + 1000 + 10 * 20) * Millisecond + ResetAndSettle;
constexpr qint64 Describing = 10 * ByteOnWire + (100 + 200) * Millisecond;
constexpr qint64 RequestByteWait = 2000 * 5 * Millisecond;
constexpr qint64 Verifying = (200 + 256 * 100 + 500 + 1000) * Millisecond;

// One image size as the flasher gets it: a firmware file with a header, in memory.
class TestImage
{
public:
    explicit TestImage(uint32_t size) : m_size(size)
    {
        QByteArray image(int(size) + BytesBeyondImage, '\0');
        for (int i = 0; i < image.size(); ++i)
            image[i] = char((i * 13 + i / BlockLength) & 0xFF);
        const uint8_t crc = crc8(0, reinterpret_cast<const uint8_t *>(image.constData()), size);

        m_descriptor = QByteArray(10, '\0');
        qToLittleEndian<uint32_t>(size, m_descriptor.data());
        m_descriptor[9] = char(crc); // type 0 at target address 0

        m_file = QByteArray(HeaderSize, '\0');
        qToLittleEndian<uint32_t>(HeaderMagic, m_file.data());
        qToLittleEndian<uint32_t>(size, m_file.data() + 9);
        m_file[13] = char(crc);
        m_file += image;
        m_memory.replaceContent(m_file.constData(), size_t(m_file.size()));
    }

    const QString &path() const { return m_memory.path(); }
    const QByteArray &descriptor() const { return m_descriptor; }
    bool isFinal(int number) const { return uint32_t(number) >= m_size / BlockLength; }

    // What the flasher must send for a request: imageBuffer holds the file, then zeros.
    QByteArray blockFor(int number) const
    {
        const qint64 start = HeaderSize + qint64(number) * BlockLength;
        const int length = isFinal(number) ? int(m_size % BlockLength) : BlockLength;
        if (start + length > qint64(ImageBufferSize))
            return {};
        const QByteArray fromFile = m_file.mid(int(start), length);
        return fromFile + QByteArray(length - fromFile.size(), '\0');
    }

private:
    uint32_t m_size;
    QByteArray m_file;
    QByteArray m_descriptor;
    MemoryFile m_memory;
};

const TestImage &imageFor(uint8_t choice)
{
    static const TestImage images[] = {TestImage(ImageSizes[0]), TestImage(ImageSizes[1]),
                                       TestImage(ImageSizes[2]), TestImage(ImageSizes[3])};
    return images[choice % std::size(images)];
}

QList<BootloaderTransmission> repliesOf(const uint8_t *data, std::size_t size)
{
    const QByteArray input =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    QList<BootloaderTransmission> replies;
    for (int start = 0; start <= input.size();) {
        int end = input.indexOf(ReplySeparator, start);
        if (end < 0)
            end = input.size();
        const QByteArray piece = input.mid(start, end - start);
        const int delay = piece.isEmpty() ? 0 : uint8_t(piece[0]);
        replies.append({delay * delay, piece.mid(1)});
        start = end + ReplySeparator.size();
    }
    return replies;
}

// The run as the converter saw it, each write checked against the protocol on the way.
struct Dialogue
{
    int requestBytesRead = 0; // by the block service, one at a time
    qint64 blockBytesWritten = 0;
    bool finalBlockSent = false;
    QByteArray lastRead; // after the final block: the verdict, if one came
};

bool isRequest(const QByteArray &bytes)
{
    return bytes.size() == RequestLength && bytes.startsWith("GET") && bytes.endsWith(';');
}

Dialogue followDialogue(const QList<SimulatedConverter::HostTransfer> &transcript,
                        const TestImage &image)
{
    Dialogue dialogue;
    QByteArray received; // all the flasher read
    int wakeUpBytes = 0;
    bool described = false;
    int answered = 0; // bytes received when the descriptor or the last block went out
    for (const SimulatedConverter::HostTransfer &transfer : transcript) {
        if (!transfer.isWrite) {
            received += transfer.bytes;
            if (dialogue.finalBlockSent)
                dialogue.lastRead = transfer.bytes;
            else if (described)
                ++dialogue.requestBytesRead;
            continue;
        }
        const QByteArray &bytes = transfer.bytes;
        require(!dialogue.finalBlockSent, "nothing is written after the final block");
        if (!described && bytes.size() == 1) {
            require(bytes[0] == WakeUpSequence[wakeUpBytes % WakeUpLength],
                    "wake-up bytes go out in their order");
            ++wakeUpBytes;
            require(wakeUpBytes <= WakeUpAttempts * WakeUpLength, "at most 16 wake-up attempts");
            continue;
        }
        if (!described) {
            require(wakeUpBytes > 0 && wakeUpBytes % WakeUpLength == 0,
                    "the descriptor follows a complete wake-up sequence");
            require(received.contains("READY"), "the descriptor follows a READY");
            require(bytes == image.descriptor(), "the descriptor is the image's");
            described = true;
            answered = received.size();
            continue;
        }
        const QByteArray request = received.right(RequestLength);
        require(received.size() - answered >= RequestLength && isRequest(request),
                "a block answers a complete request received after the previous block");
        const int number = uint8_t(request[3]) | uint8_t(request[4]) << 8;
        require(bytes == image.blockFor(number),
                "a block holds imageBuffer's bytes at the requested offset, and none from "
                "beyond imageBuffer");
        answered = received.size();
        dialogue.blockBytesWritten += bytes.size();
        dialogue.finalBlockSent = image.isFinal(number);
    }
    return dialogue;
}

qint64 longestRun(const Dialogue &dialogue)
{
    // The block service may wait once more after its last byte before it gives up.
    return ResetAndSettle + WakeUpAttempts * WakeUpAttempt + Describing +
           (dialogue.requestBytesRead + 1) * RequestByteWait +
           dialogue.blockBytesWritten * ByteOnWire + Verifying;
}

// The flasher takes the verdict as text up to its first zero byte.
QByteArray verdictText(const QByteArray &read)
{
    const int end = read.indexOf('\0');
    return end < 0 ? read : read.left(end);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    static int argc = 1;
    static char name[] = "fuzz_bootloader";
    static char *argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
    // One flasher for all inputs: each new one would leave its start-up timer pending, and
    // a run with the same arguments always starts from the same state.
    static Brennix brennix;
    static OutputCapture output;

    const TestImage &image = imageFor(data[0]);
    VirtualClock clock;
    SimulatedFtdi ftdi(clock);
    SimulatedConverter &adapter = ftdi.addConverter();
    adapter.bootloader().script().replayedReplies = repliesOf(data + 1, size - 1);

    output.begin();
    const int status = brennix.execute({"-d", "0", "-f", image.path()});
    const QByteArray printed = output.end();

    const Dialogue dialogue = followDialogue(adapter.transcript(), image);
    require(clock.now() < longestRun(dialogue), "the run ends within the flasher's limits");
    require(!adapter.isOpen(), "the device is closed at the end");
    require(status == 0 || status == 1, "the exit status is 0 or 1");

    const QByteArray verdict = verdictText(dialogue.lastRead);
    const bool validVerdict = dialogue.finalBlockSent && verdict.contains("VALID CRC") &&
                              !verdict.contains("INVALID CRC") &&
                              dialogue.lastRead.size() < RxBufferSize;
    require((status == 0) == validVerdict,
            "the run succeeds exactly on a VALID CRC verdict after the final block");
    // A verdict of other text is printed as it came, and that may end the same way.
    require(printed.endsWith("SUCCESS\n") ==
                (status == 0 ||
                 (printed.contains("\nFATAL: target reports\n") && verdict.endsWith("SUCCESS"))),
            "the output ends with SUCCESS exactly when the run succeeds");
    return 0;
}

#ifndef BOOTLOADEREMULATOR_H
#define BOOTLOADEREMULATOR_H

#include <QByteArray>
#include <QList>
#include <QMap>

#include <optional>

// Bytes that the bootloader sends: delivered to the host delayMs after the end of the
// previous transmission of the same reaction (for the first one: after the end of the
// host's write).
struct BootloaderTransmission
{
    int delayMs;
    QByteArray bytes;
};

// How the emulated bootloader behaves. The defaults are a well-behaved bootloader; a test
// changes fields through BootloaderEmulator::script() before the flasher runs.
struct BootloaderScript
{
    // Replies to successive wake-up sequences (0x1A 0x1C 0xA9 0xAE), counted over the
    // emulator's whole life, across resets; the last entry repeats, an empty entry is
    // silence. {""}: never answers. {"REA", "DY"}: "READY" split across two replies.
    // {"Error", "READY"}: fails once, answers after the flasher's reset. {"noise READY"},
    // {QByteArray(1024, 'x')}, {"STARTING APP"} likewise.
    QList<QByteArray> wakeUpReplies{"READY"};
    // From the end of a wake-up sequence to the first byte of its reply.
    int replyDelayMs = 2;
    // Silence between the descriptor and the first request (a bootloader erasing its flash).
    int firstRequestDelayMs = 0;
    // Silence between a complete block and the next request (the page write).
    int requestDelayMs = 1;
    // Block numbers to request, in this order, instead of 0, 1, ..., blockCount. The first
    // number at or above blockCount is the final block and starts verification; a list
    // that runs out before that leaves the bootloader silent.
    QList<int> requestOrder;
    // Sent just before the request at this position (0 = the first request): stray bytes
    // before "GET", or 100 and more bytes without a request.
    QMap<int, QByteArray> bytesBeforeRequest;
    // From the final block to the end-of-verification "#".
    int verifyDurationMs = 50;
    bool sendEndOfVerification = true;
    // Sent instead of the verdict of the CRC check ("VALID CRC" or "INVALID CRC").
    std::optional<QByteArray> verdict;
    // When set, everything above is ignored and the bootloader merely replays: the host's
    // n-th write while it runs (counted over the emulator's life, across resets) is
    // answered with entry n, and writes beyond the list with silence. A fuzz target
    // drives the flasher with arbitrary replies this way.
    std::optional<QList<BootloaderTransmission>> replayedReplies;
};

// The 10-byte little-endian descriptor that announces the image.
struct ImageDescriptor
{
    quint32 size = 0;
    quint32 targetAddress = 0;
    quint8 type = 0;
    quint8 crc = 0;
};

// The adapter's bootloader as seen on its serial line. It runs from the release of its
// reset line until the next reset, and falls silent on a descriptor announcing more than
// its 0x3E000 bytes of flash; SimulatedConverter feeds it what the host writes and
// delivers its transmissions. Everything it received since its last start can be
// inspected, so that a test can check that an image arrived intact.
class BootloaderEmulator
{
public:
    BootloaderScript &script() { return m_script; }

    void holdInReset();
    void start();
    QList<BootloaderTransmission> receive(const QByteArray &bytes);

    bool isRunning() const { return m_phase != Phase::Stopped; }
    // Counted over the emulator's life.
    int startCount() const { return m_startCount; }
    int wakeUpCount() const { return m_wakeUpCount; }

    // Since the last start.
    QByteArray descriptorBytes() const { return m_descriptorBytes; }
    bool hasDescriptor() const { return m_descriptorBytes.size() == DescriptorLength; }
    ImageDescriptor descriptor() const { return m_descriptor; }
    QList<int> requestedBlocks() const { return m_requested; }
    // The bytes received for each requested block number.
    QMap<int, QByteArray> blocks() const { return m_blocks; }
    // descriptor().size bytes put together from the blocks at block number × 256; bytes
    // that never arrived read 0xFF, as erased flash does. Empty for a refused descriptor.
    QByteArray image() const;
    // Empty until verification has ended.
    QByteArray verdictSent() const { return m_verdictSent; }
    // Bytes that arrived while the bootloader was not listening (stopped, or done).
    QByteArray unexpectedBytes() const { return m_unexpectedBytes; }

    // CRC-8, polynomial 0x31, MSB first, initial value 0, no reflection, no final XOR.
    static quint8 crc8(const QByteArray &bytes);

private:
    enum class Phase
    {
        Stopped,
        WaitingForWakeUp,
        ReceivingDescriptor,
        ReceivingBlock,
        Done
    };
    static constexpr int DescriptorLength = 10;
    static constexpr int BlockLength = 256;
    static constexpr quint32 FlashSize = 0x3E000;

    void receiveByte(char byte, QList<BootloaderTransmission> &out);
    void requestNextBlock(int delayMs, QList<BootloaderTransmission> &out);
    void finishVerification(QList<BootloaderTransmission> &out);

    BootloaderScript m_script;
    Phase m_phase = Phase::Stopped;
    int m_startCount = 0;
    int m_wakeUpCount = 0;
    int m_replayedWrites = 0;

    QByteArray m_wakeUpWindow;
    QByteArray m_repliesSent;
    QByteArray m_descriptorBytes;
    ImageDescriptor m_descriptor;
    QList<int> m_requested;
    QMap<int, QByteArray> m_blocks;
    int m_currentBlock = 0;
    int m_expectedLength = 0;
    bool m_currentIsFinal = false;
    QByteArray m_verdictSent;
    QByteArray m_unexpectedBytes;
};

#endif // BOOTLOADEREMULATOR_H

#include "brennix.h"

#include "clock.h"
#include "devicetext.h"
#include "firmwarefile.h"

#include <QString>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

uint8_t rxBuffer[RxBufferSize];

namespace {

constexpr int WakeUpAttempts = 16;
const uint8_t WakeUpSequence[] = {0x1A, 0x1C, 0xA9, 0xAE};
constexpr int WakeUpPauseMs = 200;
constexpr int ReplyWaitMs = 1000;
// Older reply text is dropped once it reaches this length, so that the next read still
// has room for a complete reply.
constexpr int ReplyTextLimit = 925;
// The rest of a keyword follows within the converter's latency timer (at most 128 ms with
// -lat) and the line time of a few bytes.
constexpr int KeywordRestPolls = 10;
constexpr int KeywordRestPollMs = 20;

constexpr int DescriptorLength = 10;
constexpr uint32_t BlockLength = 256;
constexpr int RequestLength = 6; // "GET", block number low and high byte, ";"
// Bytes that may arrive without completing a request before the window starts afresh.
constexpr int RequestWindow = 100;
constexpr int RequestPollMs = 5;
// A bootloader may stay silent this long before any request byte, for instance while it
// erases its flash; one that never answers still ends the run.
constexpr int RequestSilenceMs = 10000;
constexpr int RequestPolls = RequestSilenceMs / RequestPollMs;
constexpr float ProgressMarks = 30.0f;

constexpr int VerifyCycles = 256;
constexpr int VerifyCyclesPerDot = 16;
constexpr int VerifyWaitMs = 100;
constexpr uint8_t EndOfVerification = '#';

const char *const ReadFailure = "error: failed to read from device\n";

enum class Reply
{
    Unknown,
    Ready,
    Failure
};

struct Keyword
{
    const char *text;
    Reply meaning;
};
const Keyword Keywords[] = {{"READY", Reply::Ready},
                            {"Error", Reply::Failure},
                            {"ERROR", Reply::Failure},
                            {"STARTING APP", Reply::Failure}};

// The first offset at which a keyword starts decides.
Reply scanReply(const uint8_t *text, int length)
{
    for (int offset = 0; offset < length; ++offset) {
        for (const Keyword &keyword : Keywords) {
            const auto keywordLength = int(std::strlen(keyword.text));
            if (keywordLength <= length - offset &&
                std::memcmp(text + offset, keyword.text, size_t(keywordLength)) == 0)
                return keyword.meaning;
        }
    }
    return Reply::Unknown;
}

// Whether the text ends with the first letters of a keyword, such as "REA".
bool endsWithKeywordStart(const uint8_t *text, int length)
{
    for (const Keyword &keyword : Keywords) {
        const auto keywordLength = int(std::strlen(keyword.text));
        for (int letters = std::min(keywordLength - 1, length); letters > 0; --letters) {
            if (std::memcmp(text + length - letters, keyword.text, size_t(letters)) == 0)
                return true;
        }
    }
    return false;
}

bool isBlockRequest(const uint8_t *bytes)
{
    return std::memcmp(bytes, "GET", 3) == 0 && bytes[5] == BlockRequestEnd;
}

} // namespace

int Brennix::flashImage(const FirmwareImage &image)
{
    // The reset and the open print their own failures.
    if (resetDevice() == -1 || stopRequested() || !openDevice())
        return EXIT_FAILURE;
    FlasherClock::sleepMilliseconds(50);
    if (!wakeUpBootloader() || !sendDescriptor(image) || !serveBlocks(image))
        return EXIT_FAILURE;
    awaitVerification();
    if (stopRequested())
        return EXIT_FAILURE;
    return readVerdict();
}

bool Brennix::wakeUpBootloader()
{
    int textLength = 0; // reply text accumulates across attempts
    for (int attempt = 0; attempt < WakeUpAttempts; ++attempt) {
        if (stopRequested() || !writeToDevice(WakeUpSequence, 1))
            return false;
        printf("\n");
        for (size_t i = 1; i < std::size(WakeUpSequence); ++i) {
            if (!writeToDevice(WakeUpSequence + i, 1))
                return false;
        }
        flushDevice();
        FlasherClock::sleepMilliseconds(WakeUpPauseMs);

        if (textLength >= ReplyTextLimit)
            textLength = 0;
        if (!receiveReplyText(&textLength, ReplyWaitMs))
            return false;
        // The converter hands a reply over in USB packets, and its latency timer may end
        // one in the middle of a word: "REA", then "DY". Another wake-up sequence now would
        // reach a bootloader that has said READY as the first bytes of the descriptor.
        for (int poll = 0;
             poll < KeywordRestPolls && scanReply(rxBuffer, textLength) == Reply::Unknown &&
             endsWithKeywordStart(rxBuffer, textLength);
             ++poll) {
            if (!receiveReplyText(&textLength, KeywordRestPollMs))
                return false;
        }

        switch (scanReply(rxBuffer, textLength)) {
        case Reply::Ready:
            return true;
        case Reply::Failure:
            printf("error: something went wrong, retry\n");
            closeDevice();
            if (resetDevice() == -1)
                return false;
            // A failed open shows as a failed write of the next attempt.
            openDevice();
            std::fflush(stdout);
            FlasherClock::sleepMilliseconds(50);
            textLength = 0;
            break;
        case Reply::Unknown:
            // Whatever the adapter says may tell the user why it does not answer.
            std::fputs(
                visibleText(reinterpret_cast<const char *>(rxBuffer), textLength, LineEnds::Kept)
                    .constData(),
                stdout);
            break;
        }
    }
    if (stopRequested())
        return false;
    if (serialNumber.isEmpty())
        printf("error: bootloader not responding\ndevice used by other application?\n");
    else
        printf("error: bootloader not responding\ndevice serial=%s used by other application?\n",
               qPrintable(serialNumber));
    return false;
}

bool Brennix::receiveReplyText(int *textLength, int milliseconds)
{
    qint64 count = 0;
    if (waitForDeviceData(milliseconds)) {
        count = readDevice(rxBuffer + *textLength, RxBufferSize - *textLength);
        if (count < 0) {
            printf("%s", ReadFailure);
            return false;
        }
    }
    // A reply that fills the buffer is not a bootloader talking.
    if (*textLength + count > RxBufferSize - 1) {
        printf("%s", ReadFailure);
        return false;
    }
    *textLength += int(count);
    return true;
}

bool Brennix::sendDescriptor(const FirmwareImage &image)
{
    // Until the bootloader has the descriptor, stopping leaves the flash as it was.
    if (stopRequested())
        return false;
    std::fflush(stdout);
    FlasherClock::sleepMilliseconds(100);
    printf("flashing %d bytes: |=", int(image.size));
    std::fflush(stdout);

    uint8_t descriptor[DescriptorLength];
    qToLittleEndian<uint32_t>(image.size, descriptor);
    qToLittleEndian<uint32_t>(image.targetAddress, descriptor + 4);
    descriptor[8] = image.type;
    descriptor[9] = image.crc;
    if (!writeToDevice(descriptor, DescriptorLength))
        return false;
    transferStarted = true;
    flushDevice();
    FlasherClock::sleepMilliseconds(200);
    return true;
}

bool Brennix::serveBlocks(const FirmwareImage &image)
{
    const uint32_t blockCount = image.size / BlockLength;
    const uint32_t lastBlockLength = image.size % BlockLength;
    const double progressStep = double(blockCount) / ProgressMarks;
    double progress = 0;
    for (;;) {
        const int number = stopRequested() ? -1 : receiveBlockRequest();
        if (number < 0)
            return false;
        progress += 1;
        if (progress >= progressStep) {
            std::fputc('=', stdout);
            std::fflush(stdout);
            progress = 0;
        }

        const uint64_t offset = image.offset + uint64_t(number) * BlockLength;
        if (uint32_t(number) < blockCount) {
            if (!writeToDevice(imageBuffer + offset, BlockLength))
                return false;
            flushDevice();
            continue;
        }
        // Any other number ends the transfer. A number so far beyond the image that its
        // bytes would lie outside imageBuffer gets none; the bootloader's verdict decides.
        const bool insideBuffer = offset + lastBlockLength <= ImageBufferSize;
        const uint8_t *lastBlock = insideBuffer ? imageBuffer + offset : imageBuffer;
        if (!writeToDevice(lastBlock, insideBuffer ? lastBlockLength : 0))
            return false;
        printf("|\n");
        flushDevice();
        FlasherClock::sleepMilliseconds(200);
        return true;
    }
}

int Brennix::receiveBlockRequest()
{
    for (;;) {
        std::fill(std::begin(rxBuffer), std::end(rxBuffer), 0);
        for (int received = 0; received < RequestWindow;) {
            if (!receiveRequestByte(rxBuffer + received))
                return -1;
            ++received;
            if (received < RequestLength)
                continue;
            const uint8_t *request = rxBuffer + received - RequestLength;
            if (isBlockRequest(request))
                return request[3] | request[4] << 8;
        }
    }
}

bool Brennix::receiveRequestByte(uint8_t *byte)
{
    for (int polls = RequestPolls; deviceBytesAvailable() <= 0 && polls > 0; --polls) {
        if (stopRequested())
            return false;
        waitForDeviceData(RequestPollMs);
    }
    if (readDevice(byte, 1) != 1) {
        printf("%s", ReadFailure);
        return false;
    }
    return true;
}

bool Brennix::writeToDevice(const uint8_t *data, qint64 length)
{
    if (writeDevice(data, length) == length)
        return true;
    printf("error: can not write to device\n");
    return false;
}

void Brennix::awaitVerification()
{
    printf("verify: ");
    for (int cycle = VerifyCycles; cycle > 0 && !stopRequested(); --cycle) {
        waitForDeviceData(VerifyWaitMs);
        if (readDevice(rxBuffer, 1) == 1) {
            std::fflush(stdout);
            if (rxBuffer[0] == EndOfVerification)
                return;
        }
        if (cycle % VerifyCyclesPerDot == 0) {
            printf(".");
            std::fflush(stdout);
        }
    }
}

int Brennix::readVerdict()
{
    printf("\n");
    std::fflush(stdout);
    FlasherClock::sleepMilliseconds(500);
    waitForDeviceData(1000);
    // A signal cut the wait short: what came so far is no verdict.
    if (stopRequested())
        return EXIT_FAILURE;
    const qint64 count = readDevice(rxBuffer, RxBufferSize);
    if (count < 0 || count > RxBufferSize - 1) {
        printf("%s", ReadFailure);
        return EXIT_FAILURE;
    }
    rxBuffer[count] = 0;
    const char *verdict = reinterpret_cast<const char *>(rxBuffer);

    // "INVALID CRC" contains "VALID CRC", so it must be looked for first.
    if (std::strstr(verdict, "INVALID CRC")) {
        printf("Flash update failed, invalid CRC. Please try again.\n");
        return EXIT_FAILURE;
    }
    if (std::strstr(verdict, "VALID CRC")) {
        printf("SUCCESS\n");
        std::fflush(stdout);
        return EXIT_SUCCESS;
    }
    printf("FATAL: target reports\n%s\n", visibleText(verdict, LineEnds::Kept).constData());
    return EXIT_FAILURE;
}

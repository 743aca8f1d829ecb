#include "clock.h"
#include "d2xx.h"
#include "simulatedftdi.h"
#include "virtualclock.h"

#include <QElapsedTimer>
#include <QThread>
#include <QtEndian>
#include <QtTest>

namespace {

const QByteArray WakeUp("\x1A\x1C\xA9\xAE", 4);
constexpr int BlockLength = 256;
constexpr uint32_t FlashingBaudRate = 38400;
constexpr int PollMs = 20;

QByteArray descriptorFor(const QByteArray &image, quint32 targetAddress, quint8 type)
{
    QByteArray descriptor(10, '\0');
    qToLittleEndian<quint32>(quint32(image.size()), descriptor.data());
    qToLittleEndian<quint32>(targetAddress, descriptor.data() + 4);
    descriptor[8] = char(type);
    descriptor[9] = char(BootloaderEmulator::crc8(image));
    return descriptor;
}

QByteArray patternImage(int size)
{
    QByteArray image(size, '\0');
    for (int i = 0; i < size; ++i)
        image[i] = char((i * 7 + i / 256) & 0xFF);
    return image;
}

// Talks to a simulated converter through the D2XX calls the way the flasher does: reset
// pulse, open at 38400 baud, 20 ms polls, block service.
class Host
{
public:
    explicit Host(int index = 0) : m_index(index) {}
    ~Host() { close(); }

    void pulseReset()
    {
        FT_HANDLE handle = nullptr;
        FT_Open(m_index, &handle);
        FT_SetBitMode(handle, 0xF1, FT_BITMODE_CBUS_BITBANG);
        FT_SetBitMode(handle, 0xF0, FT_BITMODE_CBUS_BITBANG);
        FlasherClock::sleepMilliseconds(200);
        FT_SetBitMode(handle, 0xF1, FT_BITMODE_CBUS_BITBANG);
        FlasherClock::sleepMilliseconds(20);
        FT_SetBitMode(handle, 0x00, FT_BITMODE_RESET);
        FT_Close(handle);
    }

    bool open()
    {
        return FT_Open(m_index, &m_handle) == FT_OK &&
               FT_SetBaudRate(m_handle, FlashingBaudRate) == FT_OK;
    }

    void close()
    {
        if (m_handle)
            FT_Close(m_handle);
        m_handle = nullptr;
    }

    FT_HANDLE handle() const { return m_handle; }

    bool write(const QByteArray &bytes)
    {
        uint32_t written = 0;
        return FT_Write(m_handle, bytes.constData(), uint32_t(bytes.size()), &written) == FT_OK &&
               written == uint32_t(bytes.size());
    }

    bool wakeUp()
    {
        for (char byte : WakeUp) {
            if (!write(QByteArray(1, byte)))
                return false;
        }
        return true;
    }

    // The start of every dialogue: reset pulse, open, wake-up bytes, and "READY" back.
    bool resetAndWakeUp()
    {
        pulseReset();
        return open() && wakeUp() && receive(100, 1000) == "READY";
    }

    // At most `count` bytes, waiting up to timeoutMs for the first of them.
    QByteArray receive(int count, int timeoutMs)
    {
        QByteArray bytes;
        for (int waited = 0; bytes.size() < count; waited += PollMs) {
            uint32_t waiting = 0;
            FT_GetQueueStatus(m_handle, &waiting);
            if (waiting > 0) {
                QByteArray chunk(std::min(int(waiting), count - bytes.size()), '\0');
                uint32_t received = 0;
                FT_Read(m_handle, chunk.data(), uint32_t(chunk.size()), &received);
                bytes.append(chunk.left(int(received)));
                waited = 0;
            } else if (waited >= timeoutMs) {
                break;
            } else {
                FlasherClock::sleepMilliseconds(PollMs);
            }
        }
        return bytes;
    }

    // The next block number requested; the bytes skipped before it land in strayBytes.
    int nextRequest(int timeoutMs)
    {
        QByteArray window;
        while (true) {
            const QByteArray byte = receive(1, timeoutMs);
            if (byte.isEmpty())
                return -1;
            window.append(byte);
            const int start = window.size() - 6;
            if (start >= 0 && window.mid(start, 3) == "GET" && window.endsWith(';')) {
                strayBytes = window.left(start);
                return quint8(window[start + 3]) | quint8(window[start + 4]) << 8;
            }
        }
    }

    // Answers requests as the flasher does until the final block; returns the numbers.
    QList<int> serve(const QByteArray &image)
    {
        const int blockCount = image.size() / BlockLength;
        QList<int> requests;
        while (true) {
            const int number = nextRequest(1000);
            if (number < 0)
                return requests;
            requests.append(number);
            const bool final = number >= blockCount;
            const int length = final ? image.size() % BlockLength : BlockLength;
            write(image.mid(number * BlockLength, length));
            if (final)
                return requests;
        }
    }

    QByteArray strayBytes;

private:
    int m_index;
    FT_HANDLE m_handle = nullptr;
};

QList<int> upTo(int last)
{
    QList<int> numbers;
    for (int i = 0; i <= last; ++i)
        numbers.append(i);
    return numbers;
}

} // namespace

class TestSimulatedFtdi : public QObject
{
    Q_OBJECT

private slots:
    void crc8_data();
    void crc8();
    void successfulDialogue_data();
    void successfulDialogue();
    void corruptedByteGivesInvalidCrc();
    void oversizedImageIsRefused_data();
    void oversizedImageIsRefused();
    void wakeUpRepliesRunAcrossResets();
    void scriptedTransfer();
    void replayedRepliesAnswerWrites();
    void resetPulseIsRecordedAndStartsTheBootloader();
    void resetCutsOffAReplyInFlight();
    void bytesBecomeReadableOnArrival_data();
    void bytesBecomeReadableOnArrival();
    void repliesQueueBehindEachOther();
    void writeTakesWireTime_data();
    void writeTakesWireTime();
    void clockPace_data();
    void clockPace();
    void injectedFailure_data();
    void injectedFailure();
    void shortWriteDeliversOnlyWhatItReports();
    void deviceInfoList();
};

void TestSimulatedFtdi::crc8_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("crc");
    QTest::newRow("nothing") << QByteArray() << 0x00;
    QTest::newRow("digits") << QByteArray("123456789") << 0xA2;
    QTest::newRow("abc") << QByteArray("abc") << 0xA9;
}

void TestSimulatedFtdi::crc8()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, crc);
    QCOMPARE(int(BootloaderEmulator::crc8(bytes)), crc);
}

void TestSimulatedFtdi::successfulDialogue_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<quint32>("targetAddress");
    QTest::addColumn<int>("type");
    QTest::newRow("empty") << 0 << 0u << 0;
    QTest::newRow("less than a block") << 200 << 0u << 0;
    QTest::newRow("one full block") << 256 << 0u << 3;
    QTest::newRow("0x1234 bytes") << 0x1234 << 0u << 0;
    QTest::newRow("EEPROM") << 0x100 + 17 << 0x10u << 11;
    QTest::newRow("largest image") << 0x3E000 << 0u << 0;
}

void TestSimulatedFtdi::successfulDialogue()
{
    QFETCH(int, size);
    QFETCH(quint32, targetAddress);
    QFETCH(int, type);
    VirtualClock clock;
    SimulatedFtdi ftdi(clock);
    BootloaderEmulator &bootloader = ftdi.addConverter().bootloader();
    const QByteArray image = patternImage(size);

    Host host;
    QVERIFY(host.resetAndWakeUp());
    QVERIFY(host.write(descriptorFor(image, targetAddress, quint8(type))));
    QCOMPARE(host.serve(image), upTo(size / BlockLength));
    QCOMPARE(host.receive(100, 1000), QByteArray("#VALID CRC"));

    QVERIFY(bootloader.hasDescriptor());
    QCOMPARE(bootloader.descriptor().size, quint32(size));
    QCOMPARE(bootloader.descriptor().targetAddress, targetAddress);
    QCOMPARE(int(bootloader.descriptor().type), type);
    QCOMPARE(bootloader.descriptor().crc, BootloaderEmulator::crc8(image));
    QCOMPARE(bootloader.image(), image);
    QCOMPARE(bootloader.verdictSent(), QByteArray("VALID CRC"));
    QVERIFY(bootloader.unexpectedBytes().isEmpty());
}

void TestSimulatedFtdi::corruptedByteGivesInvalidCrc()
{
    VirtualClock clock;
    SimulatedFtdi ftdi(clock);
    BootloaderEmulator &bootloader = ftdi.addConverter().bootloader();
    const QByteArray image = patternImage(3 * BlockLength + 10);
    QByteArray corrupted = image;
    corrupted[BlockLength + 5] = char(corrupted[BlockLength + 5] ^ 0x01);

    Host host;
    QVERIFY(host.resetAndWakeUp());
    QVERIFY(host.write(descriptorFor(image, 0, 0)));
    host.serve(corrupted);
    QCOMPARE(host.receive(100, 1000), QByteArray("#INVALID CRC"));
    QCOMPARE(bootloader.image(), corrupted);
}

void TestSimulatedFtdi::oversizedImageIsRefused_data()
{
    QTest::addColumn<quint32>("size");
    QTest::newRow("one byte over the flash") << 0x3E001u;
    QTest::newRow("largest 32-bit size") << 0xFFFFFFFFu;
}

void TestSimulatedFtdi::oversizedImageIsRefused()
{
    QFETCH(quint32, size);
    VirtualClock clock;
    SimulatedFtdi ftdi(clock);
    BootloaderEmulator &bootloader = ftdi.addConverter().bootloader();
    Host host;
    QVERIFY(host.resetAndWakeUp());
    QByteArray descriptor(10, '\0');
    qToLittleEndian<quint32>(size, descriptor.data());
    QVERIFY(host.write(descriptor));
    QCOMPARE(host.receive(100, 10000), QByteArray());
    QCOMPARE(bootloader.descriptor().size, size);
    QVERIFY(bootloader.requestedBlocks().isEmpty());
    QVERIFY(bootloader.image().isEmpty());
}

void TestSimulatedFtdi::wakeUpRepliesRunAcrossResets()
{
    VirtualClock clock;
    SimulatedFtdi ftdi(clock);
    BootloaderEmulator &bootloader = ftdi.addConverter().bootloader();
    bootloader.script().wakeUpReplies = {"Error", "noise REA", "DY"};

    Host host;
    QVERIFY(host.open());
    QVERIFY(host.wakeUp());
    QCOMPARE(host.receive(100, 1000), QByteArray()); // not started before a reset pulse
    host.close();

    host.pulseReset();
    QVERIFY(host.open());
    QVERIFY(host.wakeUp());
    QCOMPARE(host.receive(100, 1000), QByteArray("Error"));
    host.close();

    host.pulseReset();
    QVERIFY(host.open());
    QVERIFY(host.wakeUp());
    QCOMPARE(host.receive(100, 1000), QByteArray("noise REA"));
    QVERIFY(host.wakeUp());
    QCOMPARE(host.receive(100, 1000), QByteArray("DY"));
    QVERIFY(host.write("0123456789"));
    QCOMPARE(bootloader.descriptorBytes(), QByteArray("0123456789"));
    host.close();

    // The last reply repeats, and a restart forgets the "REA" sent before it.
    host.pulseReset();
    QVERIFY(host.open());
    QVERIFY(host.wakeUp());
    QCOMPARE(host.receive(100, 1000), QByteArray("DY"));
    QVERIFY(host.write("0123456789"));
    QVERIFY(!bootloader.hasDescriptor());
    QCOMPARE(bootloader.startCount(), 3);
    QCOMPARE(bootloader.wakeUpCount(), 4);
}

void TestSimulatedFtdi::scriptedTransfer()
{
    VirtualClock clock;
    SimulatedFtdi ftdi(clock);
    BootloaderEmulator &bootloader = ftdi.addConverter().bootloader();
    BootloaderScript &script = bootloader.script();
    script.firstRequestDelayMs = 10000;
    script.requestOrder = {2, 0, 7};
    script.bytesBeforeRequest = {{1, QByteArray(100, 'x') + "GE"}};
    script.sendEndOfVerification = false;
    script.verdict = QByteArray("FLASH FAULT");
    const QByteArray image = patternImage(3 * BlockLength + 16);

    Host host;
    QVERIFY(host.resetAndWakeUp());
    QVERIFY(host.write(descriptorFor(image, 0, 0)));
    const qint64 descriptorSent = clock.now();
    QCOMPARE(host.nextRequest(9900), -1);
    QCOMPARE(host.nextRequest(1000), 2);
    QVERIFY(clock.now() - descriptorSent >= 10000 * 1000);
    QVERIFY(host.write(image.mid(2 * BlockLength, BlockLength)));
    QCOMPARE(host.nextRequest(1000), 0);
    QCOMPARE(host.strayBytes, QByteArray(100, 'x') + "GE");
    QVERIFY(host.write(image.left(BlockLength)));
    QCOMPARE(host.nextRequest(1000), 7);
    QVERIFY(host.write(QByteArray(16, 'z'))); // lies beyond the image
    QCOMPARE(host.receive(100, 1000), QByteArray("FLASH FAULT"));

    QCOMPARE(bootloader.requestedBlocks(), QList<int>({2, 0, 7}));
    QCOMPARE(bootloader.blocks().value(7), QByteArray(16, 'z'));
    QByteArray expected = image;
    expected.replace(BlockLength, BlockLength, QByteArray(BlockLength, char(0xFF)));
    expected.replace(3 * BlockLength, 16, QByteArray(16, char(0xFF)));
    QCOMPARE(bootloader.image(), expected);
}

void TestSimulatedFtdi::replayedRepliesAnswerWrites()
{
    VirtualClock clock;
    SimulatedFtdi ftdi(clock);
    SimulatedConverter &converter = ftdi.addConverter();
    converter.bootloader().script().replayedReplies =
        QList<BootloaderTransmission>{{0, "one"}, {0, ""}, {30, "three"}, {0, "four"}};

    Host host;
    QVERIFY(host.open());
    QVERIFY(host.write("x")); // before the reset pulse: neither answered nor counted
    QCOMPARE(host.receive(100, 100), QByteArray());
    host.close();

    host.pulseReset();
    QVERIFY(host.open());
    QVERIFY(host.write("a"));
    QCOMPARE(host.receive(100, 100), QByteArray("one"));
    QVERIFY(host.write("bb"));
    QCOMPARE(host.receive(100, 100), QByteArray());
    QVERIFY(host.write("c"));
    const qint64 written = clock.now();
    QCOMPARE(host.receive(5, 1000), QByteArray("three"));
    QVERIFY(clock.now() - written >= 30000 + 5 * 260);
    host.close();

    // The count runs on across a reset, and a wake-up sequence gets no "READY".
    host.pulseReset();
    QVERIFY(host.open());
    QVERIFY(host.write(WakeUp));
    QCOMPARE(host.receive(100, 100), QByteArray("four"));
    QVERIFY(host.write(WakeUp)); // beyond the list
    QCOMPARE(host.receive(100, 1000), QByteArray());

    const QList<SimulatedConverter::HostTransfer> expected{
        {true, "x"},      {true, "a"},    {false, "one"},  {true, "bb"},  {true, "c"},
        {false, "three"}, {true, WakeUp}, {false, "four"}, {true, WakeUp}};
    const QList<SimulatedConverter::HostTransfer> transcript = converter.transcript();
    QCOMPARE(transcript.size(), expected.size());
    for (int i = 0; i < transcript.size(); ++i) {
        QCOMPARE(transcript[i].isWrite, expected[i].isWrite);
        QCOMPARE(transcript[i].bytes, expected[i].bytes);
    }
}

void TestSimulatedFtdi::resetPulseIsRecordedAndStartsTheBootloader()
{
    VirtualClock clock;
    SimulatedFtdi ftdi(clock);
    ftdi.addConverter();
    ftdi.addConverter();
    BootloaderEmulator &bootloader = ftdi.converter(1).bootloader();
    clock.advance(5000);

    Host(1).pulseReset();
    FT_SetBitMode(nullptr, 0x00, FT_BITMODE_RESET);

    const QList<SimulatedFtdi::BitModeCall> calls = ftdi.bitModeCalls();
    QCOMPARE(calls.size(), 5);
    const int masks[] = {0xF1, 0xF0, 0xF1, 0x00, 0x00};
    const int modes[] = {0x20, 0x20, 0x20, 0x00, 0x00};
    const qint64 times[] = {5000, 5000, 205000, 225000, 225000};
    for (int i = 0; i < calls.size(); ++i) {
        QCOMPARE(int(calls[i].mask), masks[i]);
        QCOMPARE(int(calls[i].mode), modes[i]);
        QCOMPARE(calls[i].time, times[i]);
    }
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(calls[i].converter, 1);
        QCOMPARE(calls[i].status, FT_OK);
    }
    QCOMPARE(calls[4].converter, -1);
    QCOMPARE(calls[4].status, FT_INVALID_HANDLE);
    QCOMPARE(bootloader.startCount(), 1);
    QVERIFY(bootloader.isRunning());
    QCOMPARE(ftdi.converter(0).bootloader().startCount(), 0);
}

void TestSimulatedFtdi::resetCutsOffAReplyInFlight()
{
    VirtualClock clock;
    SimulatedFtdi ftdi(clock);
    BootloaderEmulator &bootloader = ftdi.addConverter().bootloader();
    bootloader.script().wakeUpReplies = {QByteArray(1024, 'x'), "READY"};

    Host host;
    host.pulseReset();
    QVERIFY(host.open());
    QVERIFY(host.wakeUp());
    FlasherClock::sleepMilliseconds(100);
    QCOMPARE(FT_SetBitMode(host.handle(), 0xF0, FT_BITMODE_CBUS_BITBANG), FT_OK);
    QVERIFY(!bootloader.isRunning());
    FlasherClock::sleepMilliseconds(20);
    // 100 ms at 38400 baud carry 384 bytes, less the 2 ms before the reply began.
    QCOMPARE(host.receive(2000, 0).size(), 376);

    // The restarted bootloader has the line to itself at once.
    QCOMPARE(FT_SetBitMode(host.handle(), 0xF1, FT_BITMODE_CBUS_BITBANG), FT_OK);
    QVERIFY(host.wakeUp());
    clock.advance(3302);
    QCOMPARE(host.receive(100, 0), QByteArray("READY"));
}

void TestSimulatedFtdi::bytesBecomeReadableOnArrival_data()
{
    QTest::addColumn<qint64>("elapsed");
    QTest::addColumn<int>("readable");
    // "READY" starts 2 ms after the wake-up; each byte takes 260.4 µs at 38400 baud.
    QTest::newRow("during the reply delay") << qint64(1999) << 0;
    QTest::newRow("before the first stop bit") << qint64(2259) << 0;
    QTest::newRow("first byte") << qint64(2260) << 1;
    QTest::newRow("one byte short") << qint64(3301) << 4;
    QTest::newRow("whole reply") << qint64(3302) << 5;
}

void TestSimulatedFtdi::bytesBecomeReadableOnArrival()
{
    QFETCH(qint64, elapsed);
    QFETCH(int, readable);
    VirtualClock clock;
    SimulatedFtdi ftdi(clock);
    ftdi.addConverter();
    Host host;
    host.pulseReset();
    QVERIFY(host.open());
    QVERIFY(host.wakeUp());
    clock.advance(elapsed);

    uint32_t waiting = 99, received = 99, transmit = 99, event = 99;
    QCOMPARE(FT_GetQueueStatus(host.handle(), &waiting), FT_OK);
    QCOMPARE(waiting, uint32_t(readable));
    QCOMPARE(FT_GetStatus(host.handle(), &received, &transmit, &event), FT_OK);
    QCOMPARE(received, uint32_t(readable));
    QCOMPARE(transmit, 0u);
    char buffer[8];
    QCOMPARE(FT_Read(host.handle(), buffer, sizeof buffer, &received), FT_OK);
    QCOMPARE(QByteArray(buffer, int(received)), QByteArray("READY").left(readable));
}

void TestSimulatedFtdi::repliesQueueBehindEachOther()
{
    VirtualClock clock;
    SimulatedFtdi ftdi(clock);
    ftdi.addConverter().bootloader().script().wakeUpReplies = {"ERROR-ERROR", "READY"};
    Host host;
    host.pulseReset();
    QVERIFY(host.open());
    QVERIFY(host.wakeUp());
    const qint64 firstWakeUpSent = clock.now();
    QVERIFY(host.wakeUp()); // while the first reply is still due

    // 16 bytes take 4167 µs after the 2 ms reply delay, on one line.
    uint32_t waiting = 0;
    clock.advance(firstWakeUpSent + 6166 - clock.now());
    QCOMPARE(FT_GetQueueStatus(host.handle(), &waiting), FT_OK);
    QCOMPARE(waiting, 15u);
    clock.advance(1);
    QCOMPARE(host.receive(100, 0), QByteArray("ERROR-ERRORREADY"));
}

void TestSimulatedFtdi::writeTakesWireTime_data()
{
    QTest::addColumn<uint32_t>("baudRate");
    QTest::addColumn<int>("bytes");
    QTest::addColumn<qint64>("microseconds");
    QTest::newRow("block at 38400") << 38400u << 256 << qint64(66667);
    QTest::newRow("byte at 38400") << 38400u << 1 << qint64(260);
    QTest::newRow("block at 115200") << 115200u << 256 << qint64(22222);
    QTest::newRow("nothing") << 38400u << 0 << qint64(0);
}

void TestSimulatedFtdi::writeTakesWireTime()
{
    QFETCH(uint32_t, baudRate);
    QFETCH(int, bytes);
    QFETCH(qint64, microseconds);
    VirtualClock clock;
    SimulatedFtdi ftdi(clock);
    ftdi.addConverter();
    Host host;
    QVERIFY(host.open());
    QCOMPARE(FT_SetBaudRate(host.handle(), baudRate), FT_OK);
    const qint64 before = clock.now();
    QVERIFY(host.write(QByteArray(bytes, 'a')));
    QCOMPARE(clock.now() - before, microseconds);
}

void TestSimulatedFtdi::clockPace_data()
{
    QTest::addColumn<bool>("realTime");
    QTest::addColumn<int>("outsideMs"); // real time that passes outside the simulation first
    QTest::addColumn<int>("sleepMs");
    QTest::addColumn<int>("sleeps");
    QTest::addColumn<int>("bytesWritten");
    QTest::addColumn<qint64>("microseconds");
    QTest::newRow("instant: long sleep") << false << 0 << 10000 << 1 << 0 << qint64(10000000);
    QTest::newRow("real time: one sleep") << true << 0 << 150 << 1 << 0 << qint64(150000);
    QTest::newRow("real time: small sleeps") << true << 0 << 1 << 150 << 0 << qint64(150000);
    // 576 bytes at 38400 baud are 150 ms on the wire.
    QTest::newRow("real time: wire time") << true << 0 << 0 << 0 << 576 << qint64(150000);
    // Start-up time must not be taken off the first sleeps.
    QTest::newRow("real time: sleep after a delay")
        << true << 100 << 150 << 1 << 0 << qint64(250000);
}

// Virtual time passes at least as fast as real time on a real-time clock, and a real-time
// clock sleeps for every virtual microsecond.
void TestSimulatedFtdi::clockPace()
{
    QFETCH(bool, realTime);
    QFETCH(int, outsideMs);
    QFETCH(int, sleepMs);
    QFETCH(int, sleeps);
    QFETCH(int, bytesWritten);
    QFETCH(qint64, microseconds);
    QElapsedTimer elapsed;
    elapsed.start();
    VirtualClock clock(realTime ? VirtualClock::Pace::RealTime : VirtualClock::Pace::Instant);
    SimulatedFtdi ftdi(clock);
    ftdi.addConverter();
    Host host;
    QVERIFY(host.open());
    QThread::msleep(static_cast<unsigned long>(outsideMs));
    for (int i = 0; i < sleeps; ++i)
        FlasherClock::sleepMilliseconds(sleepMs);
    QVERIFY(host.write(QByteArray(bytesWritten, 'a')));

    const QByteArray realMs = QByteArray::number(elapsed.elapsed()) + " ms";
    if (realTime) {
        QVERIFY2(clock.now() >= microseconds, realMs.constData());
        QVERIFY2(elapsed.nsecsElapsed() / 1000 >= microseconds, realMs.constData());
    } else {
        QCOMPARE(clock.now(), microseconds);
        QVERIFY2(elapsed.elapsed() < 1000, realMs.constData());
    }
}

void TestSimulatedFtdi::injectedFailure_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<int>("call");
    QTest::addColumn<uint32_t>("status");
    QTest::newRow("list devices") << int(SimulatedFtdi::ListDevices) << 1 << uint32_t(FT_IO_ERROR);
    QTest::newRow("create info list")
        << int(SimulatedFtdi::CreateDeviceInfoList) << 2 << uint32_t(FT_OTHER_ERROR);
    QTest::newRow("get info list")
        << int(SimulatedFtdi::GetDeviceInfoList) << 3 << uint32_t(FT_IO_ERROR);
    QTest::newRow("open") << int(SimulatedFtdi::Open) << 2 << uint32_t(FT_DEVICE_NOT_OPENED);
    QTest::newRow("close") << int(SimulatedFtdi::Close) << 3 << uint32_t(FT_IO_ERROR);
    QTest::newRow("device info detail")
        << int(SimulatedFtdi::GetDeviceInfoDetail) << 1 << uint32_t(FT_DEVICE_NOT_FOUND);
    QTest::newRow("time-outs") << int(SimulatedFtdi::SetTimeouts) << 2 << uint32_t(FT_IO_ERROR);
    QTest::newRow("baud rate") << int(SimulatedFtdi::SetBaudRate) << 1
                               << uint32_t(FT_INVALID_BAUD_RATE);
    QTest::newRow("latency") << int(SimulatedFtdi::SetLatencyTimer) << 3
                             << uint32_t(FT_INVALID_PARAMETER);
    QTest::newRow("8N1") << int(SimulatedFtdi::SetDataCharacteristics) << 2
                         << uint32_t(FT_NOT_SUPPORTED);
    QTest::newRow("bit mode") << int(SimulatedFtdi::SetBitMode) << 1 << uint32_t(FT_INVALID_HANDLE);
    QTest::newRow("write") << int(SimulatedFtdi::Write) << 2 << uint32_t(FT_IO_ERROR);
    QTest::newRow("read") << int(SimulatedFtdi::Read) << 3 << uint32_t(FT_IO_ERROR);
    QTest::newRow("queue status") << int(SimulatedFtdi::GetQueueStatus) << 1
                                  << uint32_t(FT_INSUFFICIENT_RESOURCES);
    QTest::newRow("status") << int(SimulatedFtdi::GetStatus) << 2 << uint32_t(FT_IO_ERROR);
    QTest::newRow("listed device")
        << int(SimulatedFtdi::GetListedDevice) << 1 << uint32_t(FT_DEVICE_NOT_FOUND);
    QTest::newRow("identity") << int(SimulatedFtdi::GetIdentity) << 2 << uint32_t(FT_IO_ERROR);
    QTest::newRow("open identity")
        << int(SimulatedFtdi::OpenIdentity) << 3 << uint32_t(FT_DEVICE_NOT_OPENED);
    QTest::newRow("event character") << int(SimulatedFtdi::SetChars) << 1 << uint32_t(FT_IO_ERROR);
    QTest::newRow("wait for data") << int(SimulatedFtdi::WaitForData) << 2 << uint32_t(FT_IO_ERROR);
}

void TestSimulatedFtdi::injectedFailure()
{
    QFETCH(int, operation);
    QFETCH(int, call);
    QFETCH(uint32_t, status);
    VirtualClock clock;
    SimulatedFtdi ftdi(clock);
    for (int i = 0; i < 4; ++i)
        ftdi.addConverter();
    ftdi.converter(0).bootloader().script().wakeUpReplies = {""};
    Host host;
    host.pulseReset();
    QVERIFY(host.open());
    ftdi.injectFailure(SimulatedFtdi::Operation(operation), call, status);

    // Open and close use a converter of their own per round, so that a failed close does
    // not spoil the next round.
    const auto callOnce = [&](int round) -> FT_STATUS {
        FT_HANDLE h = host.handle();
        uint32_t count = 1, transmit = 0, event = 0;
        FT_DEVICE_LIST_INFO_NODE node;
        FtdiIdentity identity{};
        char byte = 0;
        switch (SimulatedFtdi::Operation(operation)) {
        case SimulatedFtdi::ListDevices:
            return FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
        case SimulatedFtdi::CreateDeviceInfoList:
            return FT_CreateDeviceInfoList(&count);
        case SimulatedFtdi::GetDeviceInfoList:
            return FT_GetDeviceInfoList(&node, &count);
        case SimulatedFtdi::Open:
        case SimulatedFtdi::Close: {
            FT_HANDLE other = nullptr;
            const FT_STATUS opened = FT_Open(1 + round, &other);
            if (operation == SimulatedFtdi::Open)
                return opened;
            return FT_Close(other);
        }
        case SimulatedFtdi::GetDeviceInfoDetail:
            return FT_GetDeviceInfoDetail(0, &count, nullptr, nullptr, nullptr, nullptr, nullptr,
                                          nullptr);
        case SimulatedFtdi::SetTimeouts:
            return FT_SetTimeouts(h, 5000, 1000);
        case SimulatedFtdi::SetBaudRate:
            return FT_SetBaudRate(h, 38400);
        case SimulatedFtdi::SetLatencyTimer:
            return FT_SetLatencyTimer(h, 8);
        case SimulatedFtdi::SetDataCharacteristics:
            return FT_SetDataCharacteristics(h, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
        case SimulatedFtdi::SetBitMode:
            return FT_SetBitMode(h, 0x00, FT_BITMODE_RESET);
        case SimulatedFtdi::Write:
            return FT_Write(h, &byte, 1, &count);
        case SimulatedFtdi::Read:
            return FT_Read(h, &byte, 1, &count);
        case SimulatedFtdi::GetQueueStatus:
            return FT_GetQueueStatus(h, &count);
        case SimulatedFtdi::GetStatus:
            return FT_GetStatus(h, &count, &transmit, &event);
        case SimulatedFtdi::GetListedDevice:
            return ftdiGetListedDevice(0, &identity, nullptr);
        case SimulatedFtdi::GetIdentity:
            return ftdiGetIdentity(h, &identity);
        case SimulatedFtdi::SetChars:
            return FT_SetChars(h, ';', 1, 0, 0);
        case SimulatedFtdi::WaitForData:
            return ftdiWaitForData(h, 1, &count);
        case SimulatedFtdi::OpenIdentity: {
            identity = FtdiIdentity{"", "1-"};
            identity.location[2] = char('2' + round);
            FT_HANDLE other = nullptr;
            const FT_STATUS opened = ftdiOpenIdentity(&identity, &other);
            FT_Close(other);
            return opened;
        }
        }
        return FT_OTHER_ERROR;
    };

    const int callsBefore = ftdi.callCount(SimulatedFtdi::Operation(operation));
    for (int round = 0; round < 3; ++round) {
        const bool injected = callsBefore + round + 1 == call;
        QCOMPARE(callOnce(round), injected ? status : FT_OK);
    }
    QCOMPARE(ftdi.callCount(SimulatedFtdi::Operation(operation)), callsBefore + 3);
}

void TestSimulatedFtdi::shortWriteDeliversOnlyWhatItReports()
{
    VirtualClock clock;
    SimulatedFtdi ftdi(clock);
    BootloaderEmulator &bootloader = ftdi.addConverter().bootloader();
    Host host;
    QVERIFY(host.resetAndWakeUp());

    ftdi.injectShortWrite(ftdi.callCount(SimulatedFtdi::Write) + 1, 4);
    const QByteArray descriptor = descriptorFor(patternImage(300), 0, 0);
    uint32_t written = 0;
    const qint64 before = clock.now();
    QCOMPARE(FT_Write(host.handle(), descriptor.constData(), 10, &written), FT_OK);
    QCOMPARE(written, 4u);
    QCOMPARE(clock.now() - before, qint64(1042));
    QCOMPARE(bootloader.descriptorBytes(), descriptor.left(4));
}

void TestSimulatedFtdi::deviceInfoList()
{
    VirtualClock clock;
    SimulatedFtdi ftdi(clock);
    ConverterIdentity held;
    held.serialNumber = "HELD01";
    held.holder.kind = FtdiHeldUnknown;
    ftdi.addConverter(held);
    ConverterIdentity longNames;
    longNames.productId = 0x6015;
    longNames.serialNumber = "0123456789ABCDEF";
    longNames.description = QByteArray(70, 'd');
    ftdi.addConverter(longNames);
    ftdi.addConverter();

    FT_HANDLE ours = nullptr;
    QCOMPARE(FT_Open(2, &ours), FT_OK);
    FT_HANDLE handle = nullptr;
    QCOMPARE(FT_Open(0, &handle), FT_DEVICE_NOT_OPENED);
    QCOMPARE(FT_Open(2, &handle), FT_DEVICE_NOT_OPENED);
    QCOMPARE(FT_Open(3, &handle), FT_DEVICE_NOT_FOUND);

    uint32_t count = 0;
    QCOMPARE(FT_CreateDeviceInfoList(&count), FT_OK);
    QCOMPARE(count, 3u);
    FT_DEVICE_LIST_INFO_NODE nodes[3];
    count = 2; // capacity
    QCOMPARE(FT_GetDeviceInfoList(nodes, &count), FT_OK);
    QCOMPARE(count, 2u);
    QCOMPARE(nodes[0].Flags & FT_FLAGS_OPENED, FT_FLAGS_OPENED);
    QCOMPARE(QByteArray(nodes[0].SerialNumber, 16), QByteArray("HELD01") + QByteArray(10, '\0'));
    QCOMPARE(nodes[1].Flags & FT_FLAGS_OPENED, 0u);
    QCOMPARE(nodes[1].ID, 0x04036015u);
    // As long as the field, the serial number fills it without a terminating NUL.
    QCOMPARE(QByteArray(nodes[1].SerialNumber, 16), QByteArray("0123456789ABCDEF"));
    QCOMPARE(QByteArray(nodes[1].Description), QByteArray(63, 'd'));

    // The detail of one entry: the same, with its strings terminated.
    uint32_t flags = 0;
    uint32_t id = 0;
    char serial[16];
    char description[64];
    QCOMPARE(FT_GetDeviceInfoDetail(1, &flags, nullptr, &id, nullptr, serial, description, nullptr),
             FT_OK);
    QCOMPARE(flags, 0u);
    QCOMPARE(id, 0x04036015u);
    QCOMPARE(QByteArray(serial), QByteArray("0123456789ABCDE"));
    QCOMPARE(QByteArray(description), QByteArray(63, 'd'));
    QCOMPARE(FT_GetDeviceInfoDetail(3, &flags, nullptr, &id, nullptr, serial, description, nullptr),
             FT_DEVICE_NOT_FOUND);

    count = 3;
    QCOMPARE(FT_GetDeviceInfoList(nodes, &count), FT_OK);
    QCOMPARE(nodes[2].Flags & FT_FLAGS_OPENED, FT_FLAGS_OPENED);
    QCOMPARE(FT_Close(ours), FT_OK);
    QCOMPARE(FT_GetDeviceInfoList(nodes, &count), FT_OK);
    QCOMPARE(nodes[2].Flags & FT_FLAGS_OPENED, 0u);
    QCOMPARE(FT_Close(ours), FT_INVALID_HANDLE);
}

QTEST_GUILESS_MAIN(TestSimulatedFtdi)
#include "tst_simulatedftdi.moc"

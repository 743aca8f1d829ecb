#include "brennix.h"
#include "interruption.h"
#include "simulatedftdi.h"
#include "testsupport.h"
#include "virtualclock.h"

#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using TestSupport::CapturedRun;
using TestSupport::firmwareHeader;

namespace {

const QByteArray ResetLine = "reset via FTDI\n";
const QByteArray ReadFailure = "error: failed to read from device\n";
const QByteArray WriteFailure = "error: can not write to device\n";
const QByteArray Retry = "error: something went wrong, retry\n";
const QByteArray InvalidCrc = "Flash update failed, invalid CRC. Please try again.\n";

QByteArray patternImage(int size)
{
    QByteArray image(size, '\0');
    for (int i = 0; i < size; ++i)
        image[i] = char((i * 13 + i / 256) & 0xFF);
    return image;
}

// A pattern whose last byte is chosen so that its CRC-8 is `crc` (the last byte steers
// the CRC through all 256 values).
QByteArray imageWithCrc(int size, quint8 crc)
{
    QByteArray image = patternImage(size);
    for (int last = 0; last < 256; ++last) {
        image[size - 1] = char(last);
        if (BootloaderEmulator::crc8(image) == crc)
            break;
    }
    return image;
}

QByteArray transfer(int size, int marks)
{
    return "flashing " + QByteArray::number(size) + " bytes: |=" + QByteArray(marks, '=') + "|\n";
}

} // namespace

// One simulated converter with an adapter behind it, on a virtual clock, and the flasher
// run from its arguments to its exit status.
class Rig
{
public:
    Rig() : ftdi(clock), adapter(ftdi.addConverter({0x0403, 0x6001, "DE01", "Radio adapter"})) {}

    BootloaderScript &script() { return adapter.bootloader().script(); }
    const BootloaderEmulator &bootloader() { return adapter.bootloader(); }

    CapturedRun run(const QStringList &arguments)
    {
        Brennix brennix;
        return TestSupport::captureRun([&] { return brennix.execute(arguments); });
    }

    VirtualClock clock;
    SimulatedFtdi ftdi;
    SimulatedConverter &adapter;
};

// Flashing end to end through the simulated converter: wake-up, descriptor, block
// service, verification and verdict, with every failure the bootloader or the
// converter can cause.
class TestFlashing : public QObject
{
    Q_OBJECT

private:
    QString writeFirmware(const QByteArray &content)
    {
        return TestSupport::writeFile(m_directory.filePath(QStringLiteral("firmware.bin")),
                                      content);
    }
    // What a run prints up to the first wake-up sequence.
    QByteArray start(const QString &path) const
    {
        return "using firmware file: " + path.toLocal8Bit() + " \n" + ResetLine;
    }
    static QStringList flash(const QString &path) { return {"-d", "0", "-f", path}; }

    QTemporaryDir m_directory;

private slots:
    void imagesArriveIntact_data();
    void imagesArriveIntact();
    void descriptor_data();
    void descriptor();
    void lineSettings_data();
    void lineSettings();
    void wakeUp_data();
    void wakeUp();
    void silentBootloader_data();
    void silentBootloader();
    void overlongWakeUpReply();
    void requestWindow_data();
    void requestWindow();
    void finalBlockBeyondImage_data();
    void finalBlockBeyondImage();
    void silenceBeforeRequests_data();
    void silenceBeforeRequests();
    void verdict_data();
    void verdict();
    void wrongStoredCrcFails();
    void deviceFailures_data();
    void deviceFailures();
    void chosenConverterOnly_data();
    void chosenConverterOnly();
    void interruption_data();
    void interruption();
    void signalEndsTheProcess_data();
    void signalEndsTheProcess();
};

void TestFlashing::imagesArriveIntact_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<bool>("withHeader");
    QTest::addColumn<int>("marks"); // "=" behind the first one: one per progressStep requests

    QTest::newRow("empty") << QByteArray() << true << 1;
    QTest::newRow("200 bytes") << patternImage(200) << false << 1;
    QTest::newRow("0x1234 bytes") << patternImage(0x1234) << false << 19;
    QTest::newRow("4096 bytes, no partial block") << patternImage(4096) << true << 17;
    // 992 blocks: progressStep 33.07, so 993 requests give 29 marks.
    QTest::newRow("253952 bytes") << patternImage(253952) << false << 29;
}

void TestFlashing::imagesArriveIntact()
{
    QFETCH(QByteArray, image);
    QFETCH(bool, withHeader);
    QFETCH(int, marks);
    const quint8 crc = BootloaderEmulator::crc8(image);
    const QString path = writeFirmware(
        withHeader ? firmwareHeader(0, 0, quint32(image.size()), crc) + image : image);
    Rig rig;

    const CapturedRun run = rig.run(flash(path));

    QCOMPARE(run.output,
             start(path) + "\n" + transfer(image.size(), marks) + "verify: \nSUCCESS\n");
    QCOMPARE(run.status, 0);
    QCOMPARE(rig.bootloader().descriptor().size, quint32(image.size()));
    QCOMPARE(rig.bootloader().descriptor().crc, crc);
    QVERIFY(rig.bootloader().image() == image);
    QCOMPARE(rig.bootloader().requestedBlocks().size(), image.size() / 256 + 1);
    QCOMPARE(rig.bootloader().unexpectedBytes(), QByteArray());
    QVERIFY(!rig.adapter.isOpen());
}

void TestFlashing::descriptor_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("descriptor");

    QTest::newRow("0x1234 bytes, type 0, CRC 0x5A")
        << firmwareHeader(0, 0, 0x1234, 0x5A) + imageWithCrc(0x1234, 0x5A)
        << QByteArray::fromHex("3412000000000000005A");
    // Only type 0 has its CRC checked; the stored one is handed on unchanged.
    QTest::newRow("EEPROM image at 0x10")
        << firmwareHeader(11, 0x10, 0x120, 0xC3) + patternImage(0x120)
        << QByteArray::fromHex("20010000100000000BC3");
    QTest::newRow("type 10") << firmwareHeader(10, 0, 3, 0x01) + QByteArray("abc")
                             << QByteArray::fromHex("03000000000000000A01");
}

void TestFlashing::descriptor()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, descriptor);
    Rig rig;

    rig.run(flash(writeFirmware(file)));

    QCOMPARE(rig.bootloader().descriptorBytes().toHex(), descriptor.toHex());
}

void TestFlashing::lineSettings_data()
{
    QTest::addColumn<QStringList>("latencyOption");
    QTest::addColumn<int>("latency");
    QTest::newRow("default") << QStringList() << 8;
    QTest::newRow("-lat 16") << QStringList{"-lat", "16"} << 16;
    QTest::newRow("-lat 1 is ignored") << QStringList{"-lat", "1"} << 8;
}

void TestFlashing::lineSettings()
{
    QFETCH(QStringList, latencyOption);
    QFETCH(int, latency);
    Rig rig;

    const CapturedRun run = rig.run(latencyOption + flash(writeFirmware(patternImage(200))));

    QCOMPARE(run.status, 0);
    const LineSettings &settings = rig.adapter.lineSettings();
    QCOMPARE(int(settings.latencyTimerMs), latency);
    QCOMPARE(settings.baudRate, 38400u);
    QCOMPARE(settings.wordLength, FT_BITS_8);
    QCOMPARE(settings.stopBits, FT_STOP_BITS_1);
    QCOMPARE(settings.parity, FT_PARITY_NONE);
    QCOMPARE(settings.readTimeoutMs, 5000u);
    QCOMPARE(settings.writeTimeoutMs, 1000u);
}

void TestFlashing::wakeUp_data()
{
    QTest::addColumn<QList<QByteArray>>("replies");
    QTest::addColumn<QByteArray>("wakeUpOutput"); // between the reset line and "flashing"
    QTest::addColumn<int>("starts");

    const QByteArray retried = Retry + ResetLine;
    QTest::newRow("READY") << QList<QByteArray>{"READY"} << QByteArray("\n") << 1;
    QTest::newRow("READY split across two replies")
        << QList<QByteArray>{"REA", "DY"} << QByteArray("\nREA\n") << 1;
    QTest::newRow("noise before READY")
        << QList<QByteArray>{"noise READY"} << QByteArray("\n") << 1;
    QTest::newRow("READY before ERROR")
        << QList<QByteArray>{"READY ERROR"} << QByteArray("\n") << 1;
    QTest::newRow("ERROR before READY")
        << QList<QByteArray>{"ERROR READY", "READY"} << "\n" + retried + "\n"
        << 2;
    QTest::newRow("Error") << QList<QByteArray>{"Error", "READY"} << "\n" + retried + "\n" << 2;
    QTest::newRow("STARTING APP") << QList<QByteArray>{"STARTING APP", "READY"}
                                  << "\n" + retried + "\n"
                                  << 2;
    // "REAError" leads to a retry; were it kept, "DY" would make "REAErrorDY" and retry again.
    QTest::newRow("after a retry the text starts empty")
        << QList<QByteArray>{"REA", "Error", "DY", "READY"} << "\nREA\n" + retried + "\nDY\n"
        << 2;
    // 700 + 300 bytes stay below 1024; the third reply would overflow them, but text of 925
    // bytes or more is dropped before the read.
    const QByteArray a(700, 'a');
    const QByteArray b(300, 'b');
    const QByteArray c(100, 'c');
    QTest::newRow("long text is dropped")
        << QList<QByteArray>{a, b, c, "READY"} << "\n" + a + "\n" + a + b + "\n" + c + "\n"
        << 1;
    // A window title, a bell and a carriage return that would overwrite the line.
    QTest::newRow("control characters are shown, line ends kept")
        << QList<QByteArray>{"\x1b]0;pwned\x07\rboot\r\n", "READY"}
        << QByteArray("\n\\x1b]0;pwned\\x07\\rboot\r\n\n") << 1;
}

void TestFlashing::wakeUp()
{
    QFETCH(QList<QByteArray>, replies);
    QFETCH(QByteArray, wakeUpOutput);
    QFETCH(int, starts);
    const QString path = writeFirmware(patternImage(200));
    Rig rig;
    rig.script().wakeUpReplies = replies;

    const CapturedRun run = rig.run(flash(path));

    QCOMPARE(run.output, start(path) + wakeUpOutput + transfer(200, 1) + "verify: \nSUCCESS\n");
    QCOMPARE(run.status, 0);
    QCOMPARE(rig.bootloader().startCount(), starts);
    QVERIFY(rig.bootloader().image() == patternImage(200));
}

void TestFlashing::silentBootloader_data()
{
    QTest::addColumn<QStringList>("device");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("-d 0") << QStringList{"-d", "0"}
                          << QByteArray("error: bootloader not responding\n"
                                        "device used by other application?\n");
    QTest::newRow("-sn DE01") << QStringList{"-sn", "DE01"}
                              << QByteArray("error: bootloader not responding\n"
                                            "device serial=DE01 used by other application?\n");
}

void TestFlashing::silentBootloader()
{
    QFETCH(QStringList, device);
    QFETCH(QByteArray, message);
    const QString path = writeFirmware(patternImage(200));
    Rig rig;
    rig.script().wakeUpReplies = {""};

    const CapturedRun run = rig.run(device + QStringList{"-f", path});

    QCOMPARE(run.output, start(path) + QByteArray(16, '\n') + message);
    QCOMPARE(run.status, 1);
    QCOMPARE(rig.bootloader().wakeUpCount(), 16);
    QCOMPARE(rig.ftdi.callCount(SimulatedFtdi::Write), 64);
    // Reset and settling take 270 ms; then 16 attempts of 200 ms pause and 1000 ms wait,
    // plus the wire time of the four wake-up bytes.
    const qint64 attempts = rig.clock.now() - 270000;
    QVERIFY2(attempts >= 16 * 1200000 && attempts <= 16 * 1202000,
             qPrintable(QString::number(attempts)));
    QVERIFY(!rig.adapter.isOpen());
}

void TestFlashing::overlongWakeUpReply()
{
    const QString path = writeFirmware(patternImage(200));
    Rig rig;
    rig.script().wakeUpReplies = {QByteArray(1024, 'x')};

    const CapturedRun run = rig.run(flash(path));

    QVERIFY2(run.output.endsWith("\n" + ReadFailure), run.output.right(80).constData());
    QCOMPARE(run.status, 1);
    QVERIFY(!rig.bootloader().hasDescriptor());
    QVERIFY(!rig.adapter.isOpen());
}

void TestFlashing::requestWindow_data()
{
    QTest::addColumn<QByteArray>("stray"); // sent before the first request
    QTest::addColumn<bool>("flashed");
    QTest::newRow("stray bytes before GET") << QByteArray("xyz") << true;
    QTest::newRow("94 stray bytes: the request ends the window") << QByteArray(94, 'z') << true;
    // The window is cleared after 100 bytes, in the middle of the request.
    QTest::newRow("95 stray bytes: the request is split") << QByteArray(95, 'z') << false;
    QTest::newRow("1100 stray bytes") << QByteArray(1100, 'z') << true;
    QTest::newRow("GET inside the noise") << QByteArray("GETGET\x01") << true;
}

void TestFlashing::requestWindow()
{
    QFETCH(QByteArray, stray);
    QFETCH(bool, flashed);
    const QString path = writeFirmware(patternImage(0x234));
    Rig rig;
    rig.script().bytesBeforeRequest.insert(0, stray);

    const CapturedRun run = rig.run(flash(path));

    if (flashed) {
        QCOMPARE(run.output, start(path) + "\n" + transfer(0x234, 3) + "verify: \nSUCCESS\n");
        QVERIFY(rig.bootloader().image() == patternImage(0x234));
    } else {
        QCOMPARE(run.output, start(path) + "\nflashing 564 bytes: |=" + ReadFailure);
    }
    QCOMPARE(run.status, flashed ? 0 : 1);
}

void TestFlashing::finalBlockBeyondImage_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("answered"); // bytes sent for the final block
    QTest::addColumn<QByteArray>("result");

    // The file holds 0x3000 bytes behind its header, more than its declared 0x1234.
    QTest::newRow("block 40, inside the file") << 40 << 0x34 << InvalidCrc;
    // 14 + 1952 * 256 + 0x34 bytes still fit into the 500000-byte buffer; block 1953 would not.
    QTest::newRow("block 1952, end of the buffer") << 1952 << 0x34 << InvalidCrc;
    QTest::newRow("block 1953, beyond the buffer")
        << 1953 << 0 << QByteArray("................\nFATAL: target reports\n\n");
    QTest::newRow("block 65535") << 65535 << 0
                                 << QByteArray("................\nFATAL: target reports\n\n");
}

void TestFlashing::finalBlockBeyondImage()
{
    QFETCH(int, number);
    QFETCH(int, answered);
    QFETCH(QByteArray, result);
    const QByteArray content = patternImage(0x3000);
    const QString path = writeFirmware(firmwareHeader(5, 0, 0x1234, 0) + content);
    Rig rig;
    QList<int> order;
    for (int block = 0; block < 18; ++block)
        order << block;
    rig.script().requestOrder = order << number;

    const CapturedRun run = rig.run(flash(path));

    QCOMPARE(run.output, start(path) + "\n" + transfer(0x1234, 19) +
                             "verify: " + (answered ? "\n" + result : result));
    QCOMPARE(run.status, 1);
    const QByteArray expected = content.mid(number * 256, answered);
    QCOMPARE(rig.bootloader().blocks().value(number).toHex(),
             (expected + QByteArray(answered - expected.size(), '\0')).toHex());
}

void TestFlashing::silenceBeforeRequests_data()
{
    QTest::addColumn<int>("firstRequestDelayMs");
    QTest::addColumn<int>("requestDelayMs");
    QTest::addColumn<bool>("flashed");
    QTest::newRow("9.5 s before the first request") << 9500 << 1 << true;
    QTest::newRow("9.5 s before every request") << 1 << 9500 << true;
    QTest::newRow("silent for a day") << 86400000 << 1 << false;
}

void TestFlashing::silenceBeforeRequests()
{
    QFETCH(int, firstRequestDelayMs);
    QFETCH(int, requestDelayMs);
    QFETCH(bool, flashed);
    const QString path = writeFirmware(patternImage(0x300));
    Rig rig;
    rig.script().firstRequestDelayMs = firstRequestDelayMs;
    rig.script().requestDelayMs = requestDelayMs;

    const CapturedRun run = rig.run(flash(path));

    QCOMPARE(run.output, start(path) + "\n" +
                             (flashed ? transfer(0x300, 4) + "verify: \nSUCCESS\n"
                                      : "flashing 768 bytes: |=" + ReadFailure));
    if (!flashed) {
        // Given up after at least 10 s of silence, and not much later.
        QVERIFY(rig.clock.now() > 10000000);
        QVERIFY(rig.clock.now() < 60000000);
    }
}

void TestFlashing::verdict_data()
{
    QTest::addColumn<QByteArray>("verdict");
    QTest::addColumn<bool>("sendEndOfVerification");
    QTest::addColumn<int>("verifyDurationMs");
    QTest::addColumn<QByteArray>("ending"); // behind "verify: "
    QTest::addColumn<int>("status");

    QTest::newRow("VALID CRC") << QByteArray("VALID CRC") << true << 50 << QByteArray("\nSUCCESS\n")
                               << 0;
    QTest::newRow("INVALID CRC") << QByteArray("INVALID CRC") << true << 50 << "\n" + InvalidCrc
                                 << 1;
    QTest::newRow("INVALID CRC behind VALID CRC")
        << QByteArray("VALID CRC? INVALID CRC") << true << 50 << "\n" + InvalidCrc << 1;
    QTest::newRow("other text") << QByteArray("flash write error") << true << 50
                                << QByteArray("\nFATAL: target reports\nflash write error\n") << 1;
    // A C1 control (CSI in UTF-8), a byte that is no UTF-8 at all, and UTF-8 that stays.
    QTest::newRow("control characters are shown")
        << QByteArray("fail\x1b[2J\xc2\x9b"
                      "31m\xff caf\xc3\xa9\r\nend")
        << true << 50
        << QByteArray("\nFATAL: target reports\nfail\\x1b[2J\\xc2\\x9b"
                      "31m\\xff caf\xc3\xa9\r\nend\n")
        << 1;
    QTest::newRow("empty") << QByteArray() << true << 50
                           << QByteArray("\nFATAL: target reports\n\n") << 1;
    // 256 cycles of 100 ms; the verdict follows within the 500 ms pause behind them.
    QTest::newRow("no #") << QByteArray("VALID CRC") << false << 26000
                          << QByteArray("................\nSUCCESS\n") << 0;
    QTest::newRow("1024-byte verdict")
        << QByteArray(1024, 'V') << true << 50 << "\n" + ReadFailure << 1;
}

void TestFlashing::verdict()
{
    QFETCH(QByteArray, verdict);
    QFETCH(bool, sendEndOfVerification);
    QFETCH(int, verifyDurationMs);
    QFETCH(QByteArray, ending);
    QFETCH(int, status);
    const QString path = writeFirmware(patternImage(200));
    Rig rig;
    rig.script().verdict = verdict;
    rig.script().sendEndOfVerification = sendEndOfVerification;
    rig.script().verifyDurationMs = verifyDurationMs;

    const CapturedRun run = rig.run(flash(path));

    QCOMPARE(run.output, start(path) + "\n" + transfer(200, 1) + "verify: " + ending);
    QCOMPARE(run.status, status);
    QVERIFY(!rig.adapter.isOpen());
}

void TestFlashing::wrongStoredCrcFails()
{
    // Types other than 0 are not checked by the flasher: the bootloader finds the error.
    const QString path = writeFirmware(firmwareHeader(3, 0, 200, 0x00) + patternImage(200));
    Rig rig;

    const CapturedRun run = rig.run(flash(path));

    QCOMPARE(run.output, start(path) + "\n" + transfer(200, 1) + "verify: \n" + InvalidCrc);
    QCOMPARE(run.status, 1);
    QCOMPARE(rig.bootloader().verdictSent(), QByteArray("INVALID CRC"));
}

void TestFlashing::deviceFailures_data()
{
    QTest::addColumn<QList<QByteArray>>("replies");
    QTest::addColumn<int>("operation");
    QTest::addColumn<int>("call");
    QTest::addColumn<int>("shortWrite");    // bytes taken instead of a failure, or -1
    QTest::addColumn<QByteArray>("output"); // behind the first reset line

    const QList<QByteArray> ready{"READY"};
    const QByteArray flashing = "\nflashing 200 bytes: |=";
    // Writes 1 to 4 are the wake-up bytes, 5 the descriptor, 6 the final block; reads
    // 1 the wake-up reply, 2 to 7 the request, 8 the "#" and 9 the verdict.
    QTest::newRow("first wake-up byte not taken")
        << ready << int(SimulatedFtdi::Write) << 1 << 0 << WriteFailure;
    QTest::newRow("third wake-up byte fails")
        << ready << int(SimulatedFtdi::Write) << 3 << -1 << "\n" + WriteFailure;
    QTest::newRow("short descriptor")
        << ready << int(SimulatedFtdi::Write) << 5 << 9 << flashing + WriteFailure;
    QTest::newRow("short final block")
        << ready << int(SimulatedFtdi::Write) << 6 << 199 << flashing + "=" + WriteFailure;
    QTest::newRow("wake-up read fails")
        << ready << int(SimulatedFtdi::Read) << 1 << -1 << "\n" + ReadFailure;
    QTest::newRow("request read fails")
        << ready << int(SimulatedFtdi::Read) << 4 << -1 << flashing + ReadFailure;
    QTest::newRow("verdict read fails") << ready << int(SimulatedFtdi::Read) << 9 << -1
                                        << flashing + "=|\nverify: \n" + ReadFailure;
    // The reset opens the converter by its index, every later open by what it is.
    QTest::newRow("open after the reset fails")
        << ready << int(SimulatedFtdi::OpenIdentity) << 1 << -1 << QByteArray();
    QTest::newRow("reset of the retry fails")
        << QList<QByteArray>{"Error"} << int(SimulatedFtdi::OpenIdentity) << 2 << -1
        << "\n" + Retry + ResetLine + "FTDI can't open device 0, status = 4\n";
}

void TestFlashing::deviceFailures()
{
    QFETCH(QList<QByteArray>, replies);
    QFETCH(int, operation);
    QFETCH(int, call);
    QFETCH(int, shortWrite);
    QFETCH(QByteArray, output);
    const QString path = writeFirmware(patternImage(200));
    Rig rig;
    rig.script().wakeUpReplies = replies;
    if (shortWrite >= 0)
        rig.ftdi.injectShortWrite(call, uint32_t(shortWrite));
    else
        rig.ftdi.injectFailure(SimulatedFtdi::Operation(operation), call, FT_IO_ERROR);

    const CapturedRun run = rig.run(flash(path));

    QCOMPARE(run.output, start(path) + output);
    QCOMPARE(run.status, 1);
    QVERIFY(!rig.adapter.isOpen());
}

void TestFlashing::chosenConverterOnly_data()
{
    QTest::addColumn<QStringList>("device");
    QTest::addColumn<int>("openCall"); // the open of the converter at which the USB changes
    QTest::addColumn<int>("unplugged");
    QTest::addColumn<bool>("replaced"); // another converter plugged in at its place
    QTest::addColumn<int>("flashed");   // the converter that gets the image, or -1

    const QStringList second{"-d", "1"};
    QTest::newRow("by serial number, another unplugged before the first open")
        << QStringList{"-sn", "DE02"} << 1 << 0 << false << 1;
    QTest::newRow("by index, another unplugged after the reset") << second << 2 << 0 << false << 1;
    QTest::newRow("by index, another unplugged before the retry") << second << 3 << 0 << false << 1;
    QTest::newRow("the chosen one unplugged after the reset") << second << 2 << 1 << false << -1;
    QTest::newRow("another plugged in at its place") << second << 2 << 1 << true << -1;
    // Options count from left to right: the -d behind the -sn wins, as it did by index.
    QTest::newRow("-d after -sn") << QStringList{"-sn", "DE02", "-d", "0"} << 0 << 0 << false << 0;
}

// The index names a converter only until others come or go; the run flashes the converter
// it chose or none.
void TestFlashing::chosenConverterOnly()
{
    QFETCH(QStringList, device);
    QFETCH(int, openCall);
    QFETCH(int, unplugged);
    QFETCH(bool, replaced);
    QFETCH(int, flashed);
    const QByteArray image = patternImage(200);
    const QString path = writeFirmware(image);
    VirtualClock clock;
    SimulatedFtdi ftdi(clock);
    for (const QByteArray serial : {"DE01", "DE02", "DE03"})
        ftdi.addConverter({0x0403, 0x6001, serial, "Radio adapter"});
    // Every attempt fails once, so that the run reopens the converter after a second reset.
    for (int i = 0; i < 3; ++i)
        ftdi.converter(i).bootloader().script().wakeUpReplies = {"Error", "READY"};
    int opens = 0;
    const auto changeTheUsb = [&] {
        if (++opens != openCall)
            return;
        ftdi.converter(unplugged).unplug();
        if (replaced) {
            ConverterIdentity other{0x0403, 0x6001, "DE09", "Radio adapter"};
            other.location = ftdi.converter(unplugged).identity().location;
            ftdi.addConverter(other);
        }
    };
    // By index or by identity: the change comes at the same open either way.
    for (int call = 1; call <= 3; ++call) {
        ftdi.atCall(SimulatedFtdi::Open, call, changeTheUsb);
        ftdi.atCall(SimulatedFtdi::OpenIdentity, call, changeTheUsb);
    }

    Brennix brennix;
    const CapturedRun run = TestSupport::captureRun([&] {
        return brennix.execute(device + QStringList{"-f", path});
    });

    QCOMPARE(run.status, flashed < 0 ? 1 : 0);
    for (int i = 0; i < ftdi.converterCount(); ++i) {
        SimulatedConverter &converter = ftdi.converter(i);
        QVERIFY(!converter.isOpen());
        QVERIFY(!converter.isResetAsserted());
        if (i == flashed)
            QCOMPARE(converter.bootloader().image(), image);
        else if (i != 1) // the chosen one was reset before it went
            QCOMPARE(converter.bytesFromHost(), 0);
    }
    if (flashed < 0)
        QVERIFY2(run.output.endsWith("error: FTDI device 1 (serial DE02 at USB 1-2) is gone; no "
                                     "other device is used in its place\n"),
                 run.output.constData());
}

void TestFlashing::interruption_data()
{
    QTest::addColumn<int>("operation"); // whose call raises the signal
    QTest::addColumn<int>("call");
    QTest::addColumn<int>("signal");
    QTest::addColumn<QByteArray>("lastLine");
    QTest::addColumn<bool>("descriptorSent");
    QTest::addColumn<bool>("ignored"); // as a shell's background job ignores SIGINT

    const QByteArray untouched = "interrupted\n";
    // Writes 1 to 4 are the first wake-up sequence, 5 the descriptor, 6 on the blocks.
    QTest::newRow("Ctrl-C during the reset pulse")
        << int(SimulatedFtdi::SetBitMode) << 2 << SIGINT << untouched << false << false;
    QTest::newRow("hang-up during the wake-up")
        << int(SimulatedFtdi::Write) << 2 << SIGHUP << untouched << false << false;
    QTest::newRow("SIGTERM during the transfer")
        << int(SimulatedFtdi::Write) << 8 << SIGTERM
        << QByteArray("interrupted: the flash is incomplete, flash the adapter again\n") << true
        << false;
    QTest::newRow("ignored SIGINT")
        << int(SimulatedFtdi::Write) << 8 << SIGINT << QByteArray("SUCCESS\n") << true << true;
}

// A signal stops the run at the next safe point: the reset pulse ends, the converter is
// closed, and the status is what a shell expects of a process that the signal ended.
void TestFlashing::interruption()
{
    QFETCH(int, operation);
    QFETCH(int, call);
    QFETCH(int, signal);
    QFETCH(QByteArray, lastLine);
    QFETCH(bool, descriptorSent);
    QFETCH(bool, ignored);
    const QByteArray image = patternImage(2000);
    const QString path = writeFirmware(image);
    Rig rig;
    rig.ftdi.atCall(SimulatedFtdi::Operation(operation), call, [signal] { raise(signal); });
    const auto previous = std::signal(signal, ignored ? SIG_IGN : SIG_DFL);

    const CapturedRun run = rig.run(flash(path));

    std::signal(signal, previous);
    QCOMPARE(run.status, ignored ? 0 : 128 + signal);
    QVERIFY2(run.output.endsWith(lastLine), run.output.constData());
    QCOMPARE(run.output.count("interrupted"), ignored ? 0 : 1);
    QVERIFY(!rig.adapter.isOpen());
    QVERIFY(!rig.adapter.isResetAsserted());
    QCOMPARE(rig.bootloader().startCount(), 1);
    QCOMPARE(!rig.bootloader().descriptorBytes().isEmpty(), descriptorSent);
    QCOMPARE(rig.bootloader().image() == image, ignored);
}

void TestFlashing::signalEndsTheProcess_data()
{
    QTest::addColumn<int>("secondSignalAtCall"); // of FT_SetBitMode, or 0 for none
    QTest::addColumn<bool>("cleanedUp");
    QTest::newRow("after cleaning up") << 0 << true;
    QTest::newRow("at once on a second signal") << 3 << false;
}

// A shell stops a script on Ctrl-C only when the program died of the signal: the program
// cleans up, then ends by the signal; a second signal during the reset pulse ends it there.
void TestFlashing::signalEndsTheProcess()
{
    QFETCH(int, secondSignalAtCall);
    QFETCH(bool, cleanedUp);
    const QString path = writeFirmware(patternImage(2000));
    QTemporaryFile output;
    QVERIFY(output.open());
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        dup2(output.handle(), STDOUT_FILENO);
        Rig rig;
        const auto raiseSigint = [] { raise(SIGINT); };
        rig.ftdi.atCall(SimulatedFtdi::SetBitMode, 2, raiseSigint);
        if (secondSignalAtCall > 0)
            rig.ftdi.atCall(SimulatedFtdi::SetBitMode, secondSignalAtCall, raiseSigint);
        std::signal(SIGINT, SIG_DFL);
        Brennix brennix;
        _exit(Interruption::passOn(brennix.execute(flash(path))));
    }
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);

    QVERIFY(WIFSIGNALED(status));
    QCOMPARE(WTERMSIG(status), SIGINT);
    QVERIFY(output.seek(0));
    const QByteArray printed = output.readAll();
    QVERIFY2(printed.endsWith("interrupted\n") == cleanedUp, printed.constData());
}

QTEST_GUILESS_MAIN(TestFlashing)
#include "tst_flashing.moc"

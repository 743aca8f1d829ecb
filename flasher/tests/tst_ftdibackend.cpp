#include "brennix.h"
#include "simulatedusb.h"
#include "testsupport.h"
#include "virtualclock.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using TestSupport::CapturedRun;

namespace {

const QByteArray ResetLine = "reset via FTDI\n";
const QByteArray Retry = "error: something went wrong, retry\n";
const QByteArray NotResponding = "error: bootloader not responding\n"
                                 "device used by other application?\n";
const QByteArray OpenFails = ResetLine + "FTDI can't open device 0, status = 3\n";
const QByteArray InvalidSerial = "invalid serial number parameter DE01\n";
const QByteArray ClaimedLine = "claimed through libusb by another program\n";
const QByteArray TtyOpenLine = "in use by minicom (pid 4242) through /dev/ttyUSB0\n";
// Stands for the line naming the lock file, whose place the test learns at run time.
const QByteArray LockLine = "(lock file line)\n";
// Another program left the converter at this rate; opening it through libftdi1 would
// set 9600 baud.
constexpr uint32_t ForeignBaudRate = 115200;

QByteArray permissionHint(int address)
{
    return "permission denied for /dev/bus/usb/001/" +
           QByteArray::number(address).rightJustified(3, '0') +
           ": install brennix's udev rule (60-brennix-ftdi.rules) and join the plugdev "
           "group, or run as root\n";
}

QByteArray patternImage(int size)
{
    QByteArray image(size, '\0');
    for (int i = 0; i < size; ++i)
        image[i] = char((i * 13 + i / 256) & 0xFF);
    return image;
}

CapturedRun run(const QStringList &arguments)
{
    Brennix brennix;
    return TestSupport::captureRun([&] { return brennix.execute(arguments); });
}

ChipIdentity converter(const QByteArray &serial, ConverterHolder holder = ConverterHolder::Nobody,
                       bool accessDenied = false)
{
    ChipIdentity identity;
    identity.serialNumber = serial;
    identity.holder = holder;
    identity.accessDenied = accessDenied;
    return identity;
}

// What another program would notice of the flasher: a reset chip, a changed baud rate,
// the kernel's serial driver detached or the interface left claimed, a restarted adapter.
void verifyUntouched(SimulatedChip &chip, bool driverBound)
{
    QCOMPARE(chip.resetCount(), 0);
    QCOMPARE(chip.settings().baudRate, ForeignBaudRate);
    QCOMPARE(chip.isDriverBound(), driverBound);
    QVERIFY(!chip.isClaimed());
    QCOMPARE(chip.bootloader().startCount(), 0);
}

} // namespace

Q_DECLARE_METATYPE(ChipIdentity)
Q_DECLARE_METATYPE(LinkFaults)

// The flasher end to end through its own D2XX back end and Debian's libftdi1, on simulated
// FT232R chips: what reaches the chip, how fast the dialogue runs, and what a converter
// in use elsewhere or out of reach makes the flasher do. Fault injection and the fine
// points of the dialogue are tested on the D2XX-level converter (tst_flashing,
// tst_discovery).
class TestFtdiBackend : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_directory;

private slots:
    void initTestCase();
    void cleanupTestCase();
    void flashing_data();
    void flashing();
    void requestsTakenAtOnce_data();
    void requestsTakenAtOnce();
    void unavailableConverter_data();
    void unavailableConverter();
    void openAndClose();
    void listingDisturbsNoOne();
};

void TestFtdiBackend::initTestCase()
{
    // The machine's own Moduna module would show in the listing.
    setModunaPaths({QString(), QString()});
}

void TestFtdiBackend::cleanupTestCase()
{
    setModunaPaths(ModunaPaths());
}

void TestFtdiBackend::flashing_data()
{
    QTest::addColumn<int>("latency");
    QTest::addColumn<QList<QByteArray>>("replies");
    QTest::addColumn<int>("replyDelayMs");
    QTest::addColumn<QByteArray>("wakeUpOutput"); // between the reset line and the transfer
    QTest::addColumn<int>("starts");
    QTest::addColumn<int>("status");

    const QList<QByteArray> ready{"READY"};
    QTest::newRow("READY") << 8 << ready << 2 << QByteArray("\n") << 1 << 0;
    QTest::newRow("READY at 2 ms") << 2 << ready << 2 << QByteArray("\n") << 1 << 0;
    // Sent 219 ms after the wake-up, the word straddles the end of a packet that the chip's
    // latency timer sends just as the flasher looks after its 200 ms pause.
    QTest::newRow("READY split over USB packets")
        << 8 << ready << 219 << QByteArray("\n") << 1 << 0;
    QTest::newRow("text that only ends like a keyword")
        << 8 << QList<QByteArray>{"xR", "READY"} << 2 << QByteArray("\nxR\n") << 1 << 0;
    QTest::newRow("retry after Error")
        << 8 << QList<QByteArray>{"Error", "READY"} << 2 << "\n" + Retry + ResetLine + "\n"
        << 2 << 0;
    QTest::newRow("not responding")
        << 8 << QList<QByteArray>{""} << 2 << QByteArray(16, '\n') + NotResponding << 1 << 1;
    QTest::newRow("not responding at 128 ms")
        << 128 << QList<QByteArray>{""} << 2 << QByteArray(16, '\n') + NotResponding << 1 << 1;
}

void TestFtdiBackend::flashing()
{
    QFETCH(int, latency);
    QFETCH(QList<QByteArray>, replies);
    QFETCH(int, replyDelayMs);
    QFETCH(QByteArray, wakeUpOutput);
    QFETCH(int, starts);
    QFETCH(int, status);
    const QByteArray image = patternImage(200);
    const QString path = TestSupport::writeFile(m_directory.filePath("firmware.bin"), image);
    VirtualClock clock;
    SimulatedUsb usb(clock);
    SimulatedChip &chip = usb.addConverter(converter("DE01"));
    chip.bootloader().script().wakeUpReplies = replies;
    chip.bootloader().script().replyDelayMs = replyDelayMs;

    const CapturedRun flashed = run({"-lat", QString::number(latency), "-d", "0", "-f", path});

    const QByteArray start = "use FTDI latency " + QByteArray::number(latency) +
                             "\nusing firmware file: " + path.toLocal8Bit() + " \n" + ResetLine;
    const QByteArray end = status == 0 ? "flashing 200 bytes: |==|\nverify: \nSUCCESS\n" : "";
    QCOMPARE(flashed.output, start + wakeUpOutput + end);
    QCOMPARE(flashed.status, status);
    QCOMPARE(chip.bootloader().startCount(), starts);
    QCOMPARE(chip.bootloader().image() == image, status == 0);
    QCOMPARE(chip.settings().baudRate, 38400u);
    QCOMPARE(int(chip.settings().latencyTimerMs), latency);
    // Closing released the interface and gave the tty back to the kernel's serial driver.
    QVERIFY(!chip.isClaimed());
    QVERIFY(chip.isDriverBound());
    if (status != 0) {
        // 270 ms of reset and settling, 16 attempts of 1.2 s, and a 1 ms USB frame for each
        // of their 64 one-byte writes: a status query that waited for the latency timer
        // would add up to 128 ms to each of the wait's polls.
        QVERIFY2(clock.now() < 19600000, qPrintable(QString::number(clock.now())));
    }
}

void TestFtdiBackend::requestsTakenAtOnce_data()
{
    QTest::addColumn<int>("latency");
    QTest::addColumn<int>("size");

    for (const int latency : {2, 8, 16, 128})
        QTest::addRow("%d ms", latency) << latency << 5 * 256 + 100;
    // Block 59 is requested as "GET;" 0x00 ";": the first ';' sends "GET;" early, and the
    // rest follows when the last one arrives.
    QTest::newRow("';' inside a block number") << 16 << 60 * 256 + 100;
}

// However long the converter's latency timer, a block request ends with the event
// character that makes the chip pass it on, and the flasher wakes as it arrives: the
// answer leaves as soon as the request has crossed the line.
void TestFtdiBackend::requestsTakenAtOnce()
{
    QFETCH(int, latency);
    QFETCH(int, size);
    const QByteArray image = patternImage(size);
    const QString path = TestSupport::writeFile(m_directory.filePath("firmware.bin"), image);
    VirtualClock clock;
    SimulatedUsb usb(clock);
    SimulatedChip &chip = usb.addConverter(converter("DE01"));

    const CapturedRun flashed = run({"-lat", QString::number(latency), "-d", "0", "-f", path});

    QCOMPARE(flashed.status, 0);
    QCOMPARE(chip.bootloader().image(), image);
    const std::vector<qint64> &writes = chip.hostWriteTimes();
    int requests = 0;
    for (const SimulatedAdapter::Transmission &sent : chip.transmissionsToHost()) {
        // The first request comes during the flasher's fixed pause behind the descriptor.
        if (!sent.bytes.startsWith("GET") || ++requests == 1)
            continue;
        const auto answer = std::lower_bound(writes.begin(), writes.end(), sent.end);
        QVERIFY(answer != writes.end());
        QVERIFY2(*answer - sent.end <= 2000,
                 qPrintable(QStringLiteral("request %1 taken after %2 us")
                                .arg(requests)
                                .arg(*answer - sent.end)));
    }
    QCOMPARE(requests, size / 256 + 1);
}

void TestFtdiBackend::unavailableConverter_data()
{
    QTest::addColumn<ChipIdentity>("identity");
    QTest::addColumn<LinkFaults>("faults");
    QTest::addColumn<QStringList>("device");
    QTest::addColumn<QByteArray>("output");

    const QStringList index{"-d", "0"};
    const QStringList serial{"-sn", "DE01"};
    const ChipIdentity claimed = converter("DE01", ConverterHolder::UsbClaim);
    const ChipIdentity ttyOpen = converter("DE01", ConverterHolder::OpenTty);
    const ChipIdentity denied = converter("DE01", ConverterHolder::Nobody, true);
    const LinkFaults none;
    QTest::newRow("claimed, -d") << claimed << none << index << OpenFails + ClaimedLine;
    QTest::newRow("tty open, -d") << ttyOpen << none << index << OpenFails + TtyOpenLine;
    QTest::newRow("tty locked, -d")
        << converter("DE01", ConverterHolder::TtyLock) << none << index << OpenFails + LockLine;
    QTest::newRow("no permission, -d") << denied << none << index << OpenFails + permissionHint(2);
    QTest::newRow("claimed, -sn") << claimed << none << serial << ClaimedLine + InvalidSerial;
    QTest::newRow("tty open, -sn") << ttyOpen << none << serial << TtyOpenLine + InvalidSerial;
    QTest::newRow("no permission, -sn")
        << denied << none << serial << permissionHint(2) + InvalidSerial;
    // libftdi1 has claimed the converter when the reset request of its open fails, and
    // closes it without letting go: the kernel's serial driver must come back all the same.
    LinkFaults resetStalls;
    resetStalls.stalledRequests = {0};
    QTest::newRow("reset request stalls, -d")
        << converter("DE01") << resetStalls << index << OpenFails;
}

void TestFtdiBackend::unavailableConverter()
{
    QFETCH(ChipIdentity, identity);
    QFETCH(LinkFaults, faults);
    QFETCH(QStringList, device);
    QFETCH(QByteArray, output);
    VirtualClock clock;
    SimulatedUsb usb(clock);
    SimulatedChip &chip = usb.addConverter(identity);
    chip.settings().baudRate = ForeignBaudRate;
    chip.linkFaults() = faults;

    const CapturedRun reset = run(device + QStringList{"-r"});

    const QByteArray lockLine = "in use: " + usb.lockFileOf(0).toLocal8Bit() + " names pid " +
                                QByteArray::number(getpid()) + "\n";
    QCOMPARE(reset.output, QByteArray(output).replace(LockLine, lockLine));
    QCOMPARE(reset.status, 1);
    verifyUntouched(chip, identity.holder != ConverterHolder::UsbClaim);
}

void TestFtdiBackend::openAndClose()
{
    VirtualClock clock;
    SimulatedUsb usb(clock);
    SimulatedChip &chip = usb.addConverter(converter("DE01"));
    FT_HANDLE handle = nullptr;
    FT_HANDLE second = nullptr;

    QCOMPARE(FT_Open(0, &handle), FT_OK);
    // Opened there and then, so that a failure shows in FT_Open and nobody else gets in.
    QCOMPARE(chip.resetCount(), 1);
    QVERIFY(chip.isClaimed());
    QVERIFY(!chip.isDriverBound());
    QCOMPARE(FT_Open(0, &second), FT_DEVICE_NOT_OPENED);

    QCOMPARE(FT_Close(handle), FT_OK);
    QVERIFY(!chip.isClaimed());
    QVERIFY(chip.isDriverBound());

    // Reads that libusb never hands back could still write into the converter's buffers,
    // so the converter is kept rather than freed.
    QCOMPARE(FT_Open(0, &handle), FT_OK);
    usb.breakEventHandling();
    QCOMPARE(FT_Close(handle), FT_IO_ERROR);
    QVERIFY(chip.isClaimed());
    QCOMPARE(FT_Close(handle), FT_INVALID_HANDLE);
}

void TestFtdiBackend::listingDisturbsNoOne()
{
    VirtualClock clock;
    SimulatedUsb usb(clock);
    // Plugged in in another order than their ports', which the listing follows.
    const auto at = [](ChipIdentity identity, int port) {
        identity.port = port;
        return identity;
    };
    usb.addConverter(at(converter("DE01"), 4));
    usb.addConverter(at(converter("DE02", ConverterHolder::OpenTty), 1));
    usb.addConverter(at(converter("DE03", ConverterHolder::UsbClaim), 5));
    usb.addConverter(at(converter("DE04", ConverterHolder::Nobody, true), 2));
    // A lock file left behind by a crashed program does not make a converter busy.
    usb.addConverter(at(converter("DE05", ConverterHolder::StaleTtyLock), 3));
    for (int i = 0; i < usb.converterCount(); ++i)
        usb.converter(i).settings().baudRate = ForeignBaudRate;
    // Free, but without its serial driver: only trying a claim would tell that from one
    // that another program has claimed.
    usb.setDriverBound(0, false);
    QVector<bool> driverBound;
    for (int i = 0; i < usb.converterCount(); ++i)
        driverBound << usb.converter(i).isDriverBound();
    // Any user may make a lock file a FIFO, whose open would wait for a writer for ever.
    QCOMPARE(mkfifo(QFile::encodeName(usb.lockFileOf(0)).constData(), 0666), 0);

    const CapturedRun listed = run({"-l"});

    QCOMPARE(listed.output, "\n       5  FTDI devices found\n\n"
                            " device | vendor | product | serial  | description\n"
                            "--------|--------|---------|---------|----------------------\n"
                            "failed to open FTDI device (0) status = 3\n\n"
                            "in use by minicom (pid 4243) through /dev/ttyUSB1\n"
                            "failed to open FTDI device (1) status = 3\n\n" +
                                permissionHint(5) +
                                "   2    | 0x0403 | 0x6001  | DE05 | Radio adapter\n"
                                "   3    | 0x0403 | 0x6001  | DE01 | Radio adapter\n"
                                "failed to open FTDI device (4) status = 3\n\n" +
                                ClaimedLine);
    QCOMPARE(listed.status, 0);
    for (int i = 0; i < usb.converterCount(); ++i) {
        verifyUntouched(usb.converter(i), driverBound[i]);
        // Not even for a moment, in which another program's open would fail.
        QCOMPARE(usb.converter(i).claimCount(), 0);
    }
}

QTEST_GUILESS_MAIN(TestFtdiBackend)
#include "tst_ftdibackend.moc"

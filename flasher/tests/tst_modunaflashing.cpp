#include "brennix.h"
#include "gpioline.h"
#include "simulatedmoduna.h"
#include "testsupport.h"
#include "virtualclock.h"

#include <QRegularExpression>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Two full blocks and a final one of 52 bytes.
QByteArray sampleImage()
{
    QByteArray image(564, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i * 7 + 3);
    return image;
}

} // namespace

// The Moduna module flashed end to end: the command line, the reset through the GPIO
// line, the QSerialPort transport to a pseudo-terminal and the emulated bootloader behind
// it. The flasher's pauses run on a virtual clock, and the bootloader answers within
// milliseconds, so that a run takes a fraction of a second where the serial waits allow.
class TestModunaFlashing : public QObject
{
    Q_OBJECT

private slots:
    void jobs_data();
    void jobs();
    void closedPortReceivesNothing();
};

void TestModunaFlashing::jobs_data()
{
    QTest::addColumn<QList<QByteArray>>("wakeUpReplies");
    QTest::addColumn<QByteArray>("output"); // %1: the port, %2: the firmware file
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("resets");

    const QByteArray start = "no device specified use Moduna (%1)\n"
                             "using firmware file: %2 \n"
                             "reset via GPIO sim:0\n";
    const QByteArray transfer = "flashing 564 bytes: |====|\nverify: \nSUCCESS\n";

    QTest::newRow("flash") << QList<QByteArray>{"READY"} << start + "\n" + transfer << 0 << 1;
    QTest::newRow("retry after Error")
        << QList<QByteArray>{"Error", "READY"}
        << start + "\nerror: something went wrong, retry\nreset via GPIO sim:0\n\n" + transfer << 0
        << 2;

    // A silent bootloader costs the real second of each of the 16 waits, so this one
    // answers every wake-up but the last with a byte that is no keyword: the attempts run
    // out all the same, and the last one waits its full second in silence.
    QList<QByteArray> notReady;
    QByteArray attempts;
    for (int attempt = 1; attempt <= 15; ++attempt) {
        notReady.append("x");
        attempts += "\n" + QByteArray(attempt, 'x');
    }
    notReady.append(QByteArray());
    attempts += "\n" + QByteArray(15, 'x');
    QTest::newRow("never ready")
        << notReady
        << start + attempts +
               "error: bootloader not responding\ndevice used by other application?\n"
        << 1 << 1;
}

void TestModunaFlashing::jobs()
{
    QFETCH(QList<QByteArray>, wakeUpReplies);
    QFETCH(QByteArray, output);
    QFETCH(int, status);
    QFETCH(int, resets);
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    const QByteArray image = sampleImage();
    const QString firmware =
        TestSupport::writeFile(directory.filePath(QStringLiteral("firmware.bin")), image);
    VirtualClock clock;
    SimulatedModuna moduna(clock);
    BootloaderScript script;
    script.wakeUpReplies = wakeUpReplies;
    moduna.setScript(script);
    setModunaPaths({QString(), moduna.portName()});
    Brennix brennix;

    const auto run = TestSupport::captureRun([&] {
        return brennix.execute({"-gpio", "sim:0", "-f", firmware});
    });
    setModunaPaths(ModunaPaths());

    // Whether a verification dot shows depends on how fast the real serial side answered.
    const QString printed = QString::fromLocal8Bit(run.output)
                                .replace(QRegularExpression(QStringLiteral("verify: \\.*")),
                                         QStringLiteral("verify: "));
    QCOMPARE(printed, QString::fromLatin1(output).arg(moduna.portName(), firmware));
    QCOMPARE(run.status, status);
    const BootloaderEmulator bootloader = moduna.bootloader();
    QCOMPARE(bootloader.startCount(), resets);
    if (status == 0)
        QVERIFY(bootloader.image() == image);

    // Each reset: requested high, low for 200 ms, high for 20 ms, released.
    const QList<SimulatedModuna::ResetLineChange> changes = moduna.resetLineChanges();
    QCOMPARE(changes.size(), 4 * resets);
    for (int reset = 0; reset < resets; ++reset) {
        const QList<SimulatedModuna::ResetLineChange> pulse = changes.mid(4 * reset, 4);
        QCOMPARE(pulse[0].level, 1);
        QCOMPARE(pulse[1].level, 0);
        QCOMPARE(pulse[1].time, pulse[0].time);
        QCOMPARE(pulse[2].level, 1);
        QCOMPARE(pulse[2].time - pulse[1].time, qint64(200000));
        QCOMPARE(pulse[3].level, int(SimulatedModuna::ReleasedLine));
        QCOMPARE(pulse[3].time - pulse[2].time, qint64(20000));
    }
    QCOMPARE(moduna.resetLineConsumer(), QByteArray("brennix"));
}

// A UART's driver drops what arrives while the port is closed and what its reader left
// unread when it closed the port; a pseudo-terminal would hand both to the next opener.
void TestModunaFlashing::closedPortReceivesNothing()
{
    VirtualClock clock;
    SimulatedModuna moduna(clock);
    BootloaderScript script;
    script.wakeUpReplies = {"sent while closed", "left unread", "after reopening"};
    moduna.setScript(script);
    GpioLine *resetLine = nullptr;
    QCOMPARE(gpioRequestOutput("sim", "0", "test", 0, &resetLine), 0);
    QCOMPARE(gpioSetValue(resetLine, 1), 0);
    gpioRelease(resetLine);
    QSerialPort port(moduna.portName());
    port.setBaudRate(38400);
    // Each reply follows within a few milliseconds.
    const auto wakeUp = [&port] {
        port.write("\x1A\x1C\xA9\xAE", 4);
        return port.waitForBytesWritten(1000);
    };

    QVERIFY(port.open(QIODevice::ReadWrite));
    QVERIFY(wakeUp());
    port.close();
    QThread::msleep(100);
    QVERIFY(port.open(QIODevice::ReadWrite));
    QVERIFY(!port.waitForReadyRead(100));

    QVERIFY(wakeUp());
    QThread::msleep(100);
    port.close();
    QVERIFY(port.open(QIODevice::ReadWrite));
    QVERIFY(!port.waitForReadyRead(100));

    QVERIFY(wakeUp());
    QVERIFY(port.waitForReadyRead(1000));
    QCOMPARE(port.readAll(), QByteArray("after reopening"));
}

QTEST_GUILESS_MAIN(TestModunaFlashing)
#include "tst_modunaflashing.moc"

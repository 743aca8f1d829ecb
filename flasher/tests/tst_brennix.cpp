#include "brennix.h"
#include "simulatedftdi.h"
#include "testsupport.h"
#include "virtualclock.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using TestSupport::help;
using TestSupport::StdoutCapture;

// The run driver in-process, where its fields and the Moduna paths can be reached.
class TestBrennix : public QObject
{
    Q_OBJECT

private:
    using Run = TestSupport::CapturedRun;

    static Run execute(Brennix &brennix, const QStringList &arguments)
    {
        return TestSupport::captureRun([&] { return brennix.execute(arguments); });
    }

    QString path(const QString &name) const { return m_directory->filePath(name); }
    void createFile(const QString &name) { TestSupport::writeFile(path(name), QByteArray()); }
    void createModunaLink(const QString &target)
    {
        QVERIFY(QFile::link(target, modunaPaths().serialLink));
        createFile(QStringLiteral("ttyAMA0"));
    }

    QScopedPointer<QTemporaryDir> m_directory;

private slots:
    void init();
    void cleanup();
    void defaultDevice_data();
    void defaultDevice();
    void noArgumentsWithDefaultDevicePrintHelp();
    void modunaDeviceIsTheDefaultDevice();
    void modunaDeviceJobs_data();
    void modunaDeviceJobs();
    void lastDeviceIndexCounts();
    void deviceIndexIsZeroWhenNotANumber();
    void latency_data();
    void latency();
    void resetRunsWithoutReadingTheFile();
    void listingRunsWithoutReadingTheFile();
};

void TestBrennix::init()
{
    m_directory.reset(new QTemporaryDir);
    QVERIFY(m_directory->isValid());
    ModunaPaths paths;
    paths.serialLink = path(QStringLiteral("serial0"));
    paths.uart = path(QStringLiteral("ttyAMA0"));
    setModunaPaths(paths);
}

void TestBrennix::cleanup()
{
    setModunaPaths(ModunaPaths());
}

void TestBrennix::defaultDevice_data()
{
    QTest::addColumn<QString>("serial0"); // "link:" and its target, "file", or empty
    QTest::addColumn<QStringList>("existingFiles");
    QTest::addColumn<QString>("expectedPort"); // empty when there is no default device

    const QStringList none;
    const QStringList uart{"ttyAMA0"};
    QTest::newRow("link to ttyAMA0")
        << "link:uart/ttyAMA0" << QStringList{"uart/ttyAMA0"} << "uart/ttyAMA0";
    QTest::newRow("link to ttyS0") << "link:ttyS0" << QStringList{"ttyS0", "ttyAMA0"} << "ttyS0";
    QTest::newRow("link to ttyS0, relative") << "relative:ttyS0" << QStringList{"ttyS0"} << "ttyS0";
    QTest::newRow("link target merely contains ttyAMA0")
        << "link:ttyAMA0.old" << QStringList{"ttyAMA0.old", "ttyAMA0"} << "ttyAMA0";
    QTest::newRow("link target merely contains ttyAMA0, no fallback")
        << "link:ttyAMA0.old" << QStringList{"ttyAMA0.old"} << "";
    QTest::newRow("link target in other case") << "link:ttyama0" << QStringList{"ttyama0"} << "";
    QTest::newRow("dangling link") << "link:ttyS0" << none << "";
    QTest::newRow("serial0 not a link") << "file" << uart << "ttyAMA0";
    QTest::newRow("serial0 not a link, no fallback") << "file" << none << "";
    QTest::newRow("ttyAMA0 fallback") << "" << uart << "ttyAMA0";
    QTest::newRow("none") << "" << none << "";
}

void TestBrennix::defaultDevice()
{
    QFETCH(QString, serial0);
    QFETCH(QStringList, existingFiles);
    QFETCH(QString, expectedPort);

    QVERIFY(QDir(m_directory->path()).mkdir(QStringLiteral("uart")));
    for (const QString &name : existingFiles)
        createFile(name);
    const QString serialLink = modunaPaths().serialLink;
    if (serial0 == QLatin1String("file"))
        createFile(QStringLiteral("serial0"));
    else if (serial0.startsWith(QLatin1String("link:")))
        QVERIFY(QFile::link(path(serial0.mid(5)), serialLink));
    else if (serial0.startsWith(QLatin1String("relative:")))
        QVERIFY(QFile::link(serial0.mid(9), serialLink));

    Brennix brennix;
    StdoutCapture capture;
    const bool found = brennix.chooseDefaultDevice();
    const QByteArray output = capture.text();

    if (expectedPort.isEmpty()) {
        QVERIFY(!found);
        QCOMPARE(output, QByteArray());
        QCOMPARE(brennix.deviceKind, NoDevice);
        return;
    }
    const QString port = path(expectedPort);
    QVERIFY(found);
    QCOMPARE(output, "no device specified use Moduna (" + port.toLocal8Bit() + ")\n");
    QCOMPARE(brennix.deviceKind, SerialDevice);
    QCOMPARE(brennix.serialPort.portName(), port);
}

void TestBrennix::noArgumentsWithDefaultDevicePrintHelp()
{
    createModunaLink(path(QStringLiteral("ttyAMA0")));
    Brennix brennix;

    const Run run = execute(brennix, {});

    QCOMPARE(run.output, "no device specified use Moduna (" +
                             path(QStringLiteral("ttyAMA0")).toLocal8Bit() + ")\n" + help);
    QCOMPARE(run.status, 1);
}

void TestBrennix::modunaDeviceIsTheDefaultDevice()
{
    createModunaLink(path(QStringLiteral("ttyAMA0")));
    const QString firmware = path(QStringLiteral("missing.bin"));
    Brennix brennix;

    const Run run = execute(brennix, {"-d", "Moduna", "-f", firmware});

    QCOMPARE(brennix.deviceKind, SerialDevice);
    QCOMPARE(brennix.serialPort.portName(), path(QStringLiteral("ttyAMA0")));
    const QByteArray file = firmware.toLocal8Bit();
    QCOMPARE(run.output, "no device specified use Moduna (" +
                             path(QStringLiteral("ttyAMA0")).toLocal8Bit() + ")\n" +
                             "using firmware file: " + file + " \n" +
                             "error opening firmware file " + file + "\n");
    QCOMPARE(run.status, 1);
}

void TestBrennix::modunaDeviceJobs_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("output"); // %1: the port, %2: the firmware file
    QTest::addColumn<int>("status");

    const QByteArray chosen = "no device specified use Moduna (%1)\n";
    // Without -gpio the module cannot be reset, so neither the reset nor flashing can start.
    const QByteArray needsGpio = "the Moduna module needs -gpio <chip>:<line> to be reset\n";
    QTest::newRow("-r") << QStringList{"-r"} << chosen + needsGpio << 1;
    QTest::newRow("flash") << QStringList{"-f", "firmware.bin"}
                           << chosen + "using firmware file: %2 \n" + needsGpio << 1;
    QTest::newRow("-l") << QStringList{"-l"}
                        << QByteArray("Moduna: %1 (default)\n\nno FTDI devices found\n") << 0;
}

void TestBrennix::modunaDeviceJobs()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, output);
    QFETCH(int, status);
    const QString port = path(QStringLiteral("ttyS0"));
    createModunaLink(port);
    createFile(QStringLiteral("ttyS0"));
    const QString firmware =
        TestSupport::writeFile(path(QStringLiteral("firmware.bin")), QByteArray(200, 'x'));
    arguments.replaceInStrings(QStringLiteral("firmware.bin"), firmware);
    VirtualClock clock;
    SimulatedFtdi ftdi(clock);
    Brennix brennix;

    const Run run = execute(brennix, arguments);

    QCOMPARE(run.output, QString::fromLatin1(output).arg(port, firmware).toLocal8Bit());
    QCOMPARE(run.status, status);
    QVERIFY(!brennix.serialPort.isOpen());
    QCOMPARE(ftdi.callCount(SimulatedFtdi::Open), 0);
}

void TestBrennix::lastDeviceIndexCounts()
{
    Brennix brennix;

    const Run run = execute(brennix, {"-d", "0", "-d", "1"});

    QCOMPARE(brennix.ftdiIndex, 1u);
    QCOMPARE(brennix.deviceKind, FtdiDevice);
    QCOMPARE(run.output, help);
    QCOMPARE(run.status, 1);
}

void TestBrennix::deviceIndexIsZeroWhenNotANumber()
{
    Brennix brennix;

    const Run run = execute(brennix, {"-d", "5", "-d", "five"});

    QCOMPARE(brennix.ftdiIndex, 0u);
    QCOMPARE(run.output, QByteArray("invalid device parameter five\n"));
    QCOMPARE(run.status, 1);
}

void TestBrennix::latency_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("latency");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("2") << "2" << 2 << QByteArray("use FTDI latency 2\n");
    QTest::newRow("16") << "16" << 16 << QByteArray("use FTDI latency 16\n");
    QTest::newRow("128") << "128" << 128 << QByteArray("use FTDI latency 128\n");
    QTest::newRow("1") << "1" << 8 << QByteArray();
    QTest::newRow("129") << "129" << 8 << QByteArray();
    QTest::newRow("-16") << "-16" << 8 << QByteArray();
    QTest::newRow("word") << "fast" << 8 << QByteArray();
}

void TestBrennix::latency()
{
    QFETCH(QString, value);
    QFETCH(int, latency);
    QFETCH(QByteArray, message);
    Brennix brennix;
    QCOMPARE(brennix.latency, 8);

    const Run run = execute(brennix, {"-lat", value, "-d", "0"});

    QCOMPARE(brennix.latency, latency);
    QCOMPARE(run.output, message + help);
    QCOMPARE(run.status, 1);
}

void TestBrennix::resetRunsWithoutReadingTheFile()
{
    VirtualClock clock;
    SimulatedFtdi ftdi(clock);
    ftdi.addConverter();
    Brennix brennix;

    const Run run = execute(brennix, {"-r", "-f", path(QStringLiteral("missing.bin")), "-d", "0"});

    QCOMPARE(run.output, QByteArray("reset via FTDI\nSUCCESS\n"));
    QCOMPARE(run.status, 0);
}

void TestBrennix::listingRunsWithoutReadingTheFile()
{
    VirtualClock clock;
    SimulatedFtdi ftdi(clock);
    Brennix brennix;

    const Run run = execute(brennix, {"-f", path(QStringLiteral("missing.bin")), "-l", "-x"});

    QCOMPARE(run.output, QByteArray("\nno FTDI devices found\n"));
    QCOMPARE(run.status, 0);
}

QTEST_GUILESS_MAIN(TestBrennix)
#include "tst_brennix.moc"

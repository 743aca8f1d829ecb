#include "d2xx.h"
#include "testsupport.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using TestSupport::firmwareHeader;
using TestSupport::help;

namespace {

const QByteArray noDevice = "no device specified (use -l to list all devices)\n";

bool hasModunaDevice()
{
    return QFileInfo::exists(QStringLiteral("/dev/serial0")) ||
           QFileInfo::exists(QStringLiteral("/dev/ttyAMA0"));
}

// Asks the same libftdi layer that the program uses.
bool hasFtdiConverter()
{
    uint32_t count = 0;
    return FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY) == FT_OK && count > 0;
}

} // namespace

// The built program as a user meets it: standard output after the banner and the exit status.
class TestCommandLine : public QObject
{
    Q_OBJECT

private:
    QString file(const QString &name) const { return m_directory.filePath(name); }
    void addColumns();
    void runAndCompare();

    QTemporaryDir m_directory;

private slots:
    void initTestCase();
    void banner();
    void options_data();
    void options();
    void firmwareFiles_data();
    void firmwareFiles();
    void withoutDefaultDevice_data();
    void withoutDefaultDevice();
    void withoutAdapters_data();
    void withoutAdapters();
    void listingWithoutAdapters_data();
    void listingWithoutAdapters();
};

void TestCommandLine::initTestCase()
{
    QVERIFY(m_directory.isValid());
    const QByteArray digits = "123456789"; // CRC 0xA2
    const QList<QPair<QString, QByteArray>> files{
        {"valid.bin", firmwareHeader(0, 0, 9, 0xA2) + digits},
        {"short.bin", QByteArray("0123456789abc")},
        {"badcrc.bin", firmwareHeader(0, 0, 9, 0x5A) + digits},
        {"type12.bin", firmwareHeader(12, 0, 0, 0)},
        {"large.bin", QByteArray(0x3E001, 'x')},
        {"eeprom.bin", firmwareHeader(11, 0x0F, 1, 0)},
        {"address.bin", firmwareHeader(3, 1, 0, 0)},
    };
    for (const auto &entry : files)
        TestSupport::writeFile(file(entry.first), entry.second);
}

void TestCommandLine::banner()
{
    QProcess process;
    process.start(QStringLiteral(BRENNIX_PROGRAM), {QStringLiteral("-h")});
    QVERIFY(process.waitForFinished());

    const QByteArray firstLine = process.readAllStandardOutput().split('\n').first();
    QVERIFY2(firstLine.startsWith("Brennix V2_10 "), firstLine.constData());
    QVERIFY2(firstLine.endsWith("2016/09/26"), firstLine.constData());
}

void TestCommandLine::runAndCompare()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, output);
    QFETCH(int, status);

    QProcess process;
    process.start(QStringLiteral(BRENNIX_PROGRAM), arguments);
    QVERIFY(process.waitForFinished());

    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.readAllStandardError(), QByteArray());
    const QByteArray standardOutput = process.readAllStandardOutput();
    const int bannerEnd = standardOutput.indexOf('\n') + 1;
    QVERIFY(standardOutput.startsWith("Brennix V2_10 "));
    QCOMPARE(standardOutput.mid(bannerEnd), output);
    QCOMPARE(process.exitCode(), status);
}

void TestCommandLine::addColumns()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("status");
}

void TestCommandLine::options_data()
{
    addColumns();
    for (const char *argument : {"-h", "-?", "--help", "help", "-x", "file.bin"})
        QTest::newRow(argument) << QStringList{argument} << help << 0;
    for (const char *argument : {"-R", "-L", "-F", "-D", "-SN", "-LAT", "-GPIO", "-H"})
        QTest::addRow("capital %s", argument) << QStringList{argument, "0"} << help << 0;
    for (const char *option : {"-f", "-d", "-sn", "-lat", "-gpio"})
        QTest::addRow("%s last", option) << QStringList{option} << help << 0;
    QTest::newRow("-f last behind a device") << QStringList{"-d", "0", "-f"} << help << 0;
    QTest::newRow("unrecognised behind a device") << QStringList{"-d", "0", "-x"} << help << 0;

    QTest::newRow("-d letters") << QStringList{"-d", "abc"}
                                << QByteArray("invalid device parameter abc\n") << 1;
    QTest::newRow("-d minus one") << QStringList{"-d", "-1"}
                                  << QByteArray("invalid device parameter -1\n") << 1;
    QTest::newRow("-d digits and letters")
        << QStringList{"-d", "12x", "-h"} << QByteArray("invalid device parameter 12x\n") << 1;
    QTest::newRow("-d beyond 32 bits") << QStringList{"-d", "4294967296"}
                                       << QByteArray("invalid device parameter 4294967296\n") << 1;
    QTest::newRow("-d twice") << QStringList{"-d", "0", "-d", "1"} << help << 1;
    QTest::newRow("-d without -f or -r") << QStringList{"-d", "0"} << help << 1;

    for (const char *value : {"1", "129", "word"})
        QTest::addRow("-lat %s", value) << QStringList{"-lat", value, "-d", "0"} << help << 1;
    for (const char *value : {"2", "128"})
        QTest::addRow("-lat %s", value)
            << QStringList{"-lat", value, "-d", "0"}
            << "use FTDI latency " + QByteArray(value) + "\n" + help << 1;
    QTest::newRow("-lat before help")
        << QStringList{"-lat", "16", "-h"} << "use FTDI latency 16\n" + help << 0;

    for (const char *value : {"gpiochip0", ":17", "gpiochip0:", ":"})
        QTest::addRow("-gpio %s", value) << QStringList{"-gpio", value, "-r"}
                                         << "invalid GPIO parameter " + QByteArray(value) + "\n"
                                         << 1;
    const QByteArray gpioWithConverter =
        "-gpio is for the Moduna module: an FTDI converter resets its adapter itself\n";
    QTest::newRow("-gpio before -d")
        << QStringList{"-gpio", "gpiochip0:17", "-d", "0", "-r"} << gpioWithConverter << 1;
    QTest::newRow("-gpio behind -d")
        << QStringList{"-d", "0", "-r", "-gpio", "gpiochip0:17"} << gpioWithConverter << 1;
    QTest::newRow("-gpio before an unknown -sn")
        << QStringList{"-gpio", "gpiochip0:17", "-sn", "NOPE", "-r"} << gpioWithConverter << 1;
}

void TestCommandLine::options()
{
    runAndCompare();
}

void TestCommandLine::firmwareFiles_data()
{
    addColumns();
    auto addFile = [this](const char *name, const QByteArray &message) {
        const QString path = file(QString::fromLatin1(name));
        QTest::newRow(name) << QStringList{"-d", "0", "-f", path}
                            << "using firmware file: " + path.toLocal8Bit() + " \n" + message << 1;
    };
    addFile("missing.bin",
            "error opening firmware file " + file("missing.bin").toLocal8Bit() + "\n");
    addFile("short.bin", "error: invalid input file format, file too short\n");
    addFile("badcrc.bin", "error: invalid crc in input file: 0x5A, expected 0xA2\n");
    addFile("type12.bin", "error: invalid flash image type\n");
    addFile("large.bin", "error: firmware file size mismatch\n");
    addFile("eeprom.bin", "error: invalid EEPROM target address\n");
    addFile("address.bin", "error: invalid firmware target address\n");
}

void TestCommandLine::firmwareFiles()
{
    runAndCompare();
}

void TestCommandLine::withoutDefaultDevice_data()
{
    addColumns();
    const QString valid = file(QStringLiteral("valid.bin"));
    QTest::newRow("no arguments") << QStringList() << noDevice << 1;
    QTest::newRow("-d Moduna") << QStringList{"-d", "Moduna"} << noDevice << 1;
    QTest::newRow("-d Moduna with -f") << QStringList{"-d", "Moduna", "-f", valid} << noDevice << 1;
    QTest::newRow("-f only") << QStringList{"-f", valid} << noDevice << 1;
    QTest::newRow("-r only") << QStringList{"-r"} << noDevice << 1;
    QTest::newRow("-lat only") << QStringList{"-lat", "16"} << "use FTDI latency 16\n" + noDevice
                               << 1;
}

void TestCommandLine::withoutDefaultDevice()
{
    if (hasModunaDevice())
        QSKIP("this machine has a Moduna device (/dev/serial0 or /dev/ttyAMA0)");
    runAndCompare();
}

// Without an FTDI converter attached, every attempt to reach one ends at the open, with the
// D2XX "device not found" status.
void TestCommandLine::withoutAdapters_data()
{
    addColumns();
    const QByteArray resetFails = "reset via FTDI\nFTDI can't open device 0, status = 2\n";
    const QString valid = file(QStringLiteral("valid.bin"));
    const QByteArray usingValid = "using firmware file: " + valid.toLocal8Bit() + " \n";

    QTest::newRow("-sn") << QStringList{"-sn", "FT123456"}
                         << QByteArray("\nno FTDI devices found\n"
                                       "invalid serial number parameter FT123456\n")
                         << 1;
    QTest::newRow("-r") << QStringList{"-d", "0", "-r"} << resetFails << 1;
    QTest::newRow("-r with -f") << QStringList{"-r", "-f", file("missing.bin"), "-d", "0"}
                                << resetFails << 1;
    QTest::newRow("accepted file")
        << QStringList{"-d", "0", "-f", valid} << usingValid + resetFails << 1;
    QTest::newRow("later -f replaces the first")
        << QStringList{"-f", file("missing.bin"), "-d", "0", "-f", valid} << usingValid + resetFails
        << 1;
}

void TestCommandLine::withoutAdapters()
{
    if (hasFtdiConverter())
        QSKIP("FTDI converters are attached; these runs expect none");
    runAndCompare();
}

void TestCommandLine::listingWithoutAdapters_data()
{
    addColumns();
    const QByteArray noAdapters = "\nno FTDI devices found\n";
    QTest::newRow("-l") << QStringList{"-l"} << noAdapters << 0;
    QTest::newRow("-l before an unrecognised argument")
        << QStringList{"-l", "-x"} << noAdapters << 0;
    QTest::newRow("-l behind -f") << QStringList{"-f", file("missing.bin"), "-l"} << noAdapters
                                  << 0;
}

void TestCommandLine::listingWithoutAdapters()
{
    if (hasModunaDevice())
        QSKIP("this machine has a Moduna device, which the listing shows first");
    if (hasFtdiConverter())
        QSKIP("FTDI converters are attached; the listing expects none");
    runAndCompare();
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"

#include "brennix.h"
#include "simulatedftdi.h"
#include "testsupport.h"
#include "virtualclock.h"

#include <QtTest>

using TestSupport::CapturedRun;

Q_DECLARE_METATYPE(ConverterIdentity)

namespace {

const QByteArray NoDevices = "\nno FTDI devices found\n";
const QByteArray ListingHeader = " device | vendor | product | serial  | description\n"
                                 "--------|--------|---------|---------|----------------------\n";

ConverterIdentity converter(const QByteArray &serial, bool openElsewhere = false)
{
    ConverterIdentity identity;
    identity.serialNumber = serial;
    identity.description = "Radio adapter";
    if (openElsewhere)
        identity.holder.kind = FtdiHeldUnknown;
    return identity;
}

struct Failure
{
    SimulatedFtdi::Operation operation;
    int call;
    FT_STATUS status;
};

} // namespace

Q_DECLARE_METATYPE(Failure)

// "-l", "-sn" and "-r" against simulated converters, run from the arguments to the exit
// status. The Moduna part of the listing is covered with the default-device rules.
class TestDiscovery : public QObject
{
    Q_OBJECT

private:
    struct Setup
    {
        VirtualClock clock;
        SimulatedFtdi ftdi{clock};
    };

    static CapturedRun run(const QStringList &arguments)
    {
        Brennix brennix;
        return TestSupport::captureRun([&] { return brennix.execute(arguments); });
    }

    static void addConverters(Setup &setup, const QList<ConverterIdentity> &converters)
    {
        for (const ConverterIdentity &identity : converters)
            setup.ftdi.addConverter(identity);
    }

private slots:
    void listing_data();
    void listing();
    void lookupBySerialNumber_data();
    void lookupBySerialNumber();
    void resetPulse();
    void resetFailures_data();
    void resetFailures();
};

void TestDiscovery::listing_data()
{
    QTest::addColumn<QList<ConverterIdentity>>("converters");
    QTest::addColumn<QList<Failure>>("failures");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("status");

    ConverterIdentity other = converter("AB12CD34");
    other.vendorId = 0x1A2B;
    other.productId = 0xC0DE;
    other.description = "Other adapter";
    const QByteArray firstLine = "   0    | 0x0403 | 0x6001  | DE01 | Radio adapter\n";
    const QByteArray secondLine = "   1    | 0x1A2B | 0xC0DE  | AB12CD34 | Other adapter\n";

    QTest::newRow("none") << QList<ConverterIdentity>() << QList<Failure>() << NoDevices << 0;
    QTest::newRow("one") << QList<ConverterIdentity>{converter("DE01")} << QList<Failure>()
                         << "\n       1  FTDI device found\n\n" + ListingHeader + firstLine << 0;
    QTest::newRow("two") << QList<ConverterIdentity>{converter("DE01"), other} << QList<Failure>()
                         << "\n       2  FTDI devices found\n\n" + ListingHeader + firstLine +
                                secondLine
                         << 0;
    QTest::newRow("one open elsewhere")
        << QList<ConverterIdentity>{converter("DE01"), converter("DE02", true)} << QList<Failure>()
        << "\n       2  FTDI devices found\n\n" + ListingHeader + firstLine +
               "failed to open FTDI device (1) status = 3\n\n"
        << 0;
    QTest::newRow("device information unavailable")
        << QList<ConverterIdentity>{converter("DE01"), other}
        << QList<Failure>{{SimulatedFtdi::GetDeviceInfoDetail, 1, FT_IO_ERROR}}
        << "\n       2  FTDI devices found\n\n" + ListingHeader +
               "failed to open FTDI device (0) status = 4\n\n" + secondLine
        << 0;
    QTest::newRow("device information list unavailable")
        << QList<ConverterIdentity>{converter("DE01")}
        << QList<Failure>{{SimulatedFtdi::CreateDeviceInfoList, 1, FT_OTHER_ERROR}}
        << "\n       1  FTDI device found\n\n" + ListingHeader +
               "failed to open FTDI device (0) status = 18\n\n"
        << 0;
    QTest::newRow("count unavailable")
        << QList<ConverterIdentity>{converter("DE01")}
        << QList<Failure>{{SimulatedFtdi::ListDevices, 1, FT_IO_ERROR}} << QByteArray() << 1;
    // A USB string descriptor holds whatever the device says, and so does a process name.
    ConverterIdentity hostile = converter("EV\x1b[2JIL");
    hostile.description = "Bad\radapter\x07";
    ConverterIdentity held = converter("DE02");
    held.holder = {FtdiTtyOpen, 1, 3, 812, "mini\x1b]0;x\x07", "/dev/ttyUSB1"};
    QTest::newRow("device text shown, not obeyed")
        << QList<ConverterIdentity>{hostile, held} << QList<Failure>()
        << "\n       2  FTDI devices found\n\n" + ListingHeader +
               "   0    | 0x0403 | 0x6001  | EV\\x1b[2JIL | Bad\\radapter\\x07\n"
               "failed to open FTDI device (1) status = 3\n\n"
               "in use by mini\\x1b]0;x\\x07 (pid 812) through /dev/ttyUSB1\n"
        << 0;
}

void TestDiscovery::listing()
{
    QFETCH(QList<ConverterIdentity>, converters);
    QFETCH(QList<Failure>, failures);
    QFETCH(QByteArray, output);
    QFETCH(int, status);
    Setup setup;
    addConverters(setup, converters);
    for (const Failure &failure : failures)
        setup.ftdi.injectFailure(failure.operation, failure.call, failure.status);

    const CapturedRun listed = run({"-l"});

    QCOMPARE(listed.output, output);
    QCOMPARE(listed.status, status);
    // Opening a converter would disturb whoever uses it.
    QCOMPARE(setup.ftdi.callCount(SimulatedFtdi::Open), 0);
}

void TestDiscovery::lookupBySerialNumber_data()
{
    QTest::addColumn<QList<ConverterIdentity>>("converters");
    QTest::addColumn<QList<Failure>>("failures");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<int>("index"); // of the converter that is reset, or -1
    QTest::addColumn<QByteArray>("message");

    const QList<Failure> none;
    const QList<ConverterIdentity> two{converter("DE01"), converter("DE02")};
    QTest::newRow("second") << two << none << "DE02" << 1 << QByteArray();
    QTest::newRow("first of two equal")
        << QList<ConverterIdentity>{converter("DE01"), converter("DE01")} << none << "DE01" << 0
        << QByteArray();
    QTest::newRow("open elsewhere is skipped")
        << QList<ConverterIdentity>{converter("DE01", true), converter("DE01")} << none << "DE01"
        << 1 << QByteArray();
    QTest::newRow("only one, open elsewhere") << QList<ConverterIdentity>{converter("DE01", true)}
                                              << none << "DE01" << -1 << QByteArray();
    QTest::newRow("case differs") << two << none << "de01" << -1 << QByteArray();
    QTest::newRow("prefix") << two << none << "DE0" << -1 << QByteArray();
    QTest::newRow("15 characters") << QList<ConverterIdentity>{converter("ABCDEFGHIJKLMNO")} << none
                                   << "ABCDEFGHIJKLMNO" << 0 << QByteArray();
    // Its serial number fills the node's field without a NUL, and the empty description
    // right behind it would let a length taken past the 15th byte see all 16 characters.
    ConverterIdentity sixteen = converter("ABCDEFGHIJKLMNOP");
    sixteen.description.clear();
    const QList<ConverterIdentity> sixteenThenFifteen{sixteen, converter("QRSTUVWXYZ01234")};
    QTest::newRow("16 characters")
        << sixteenThenFifteen << none << "ABCDEFGHIJKLMNOP" << -1 << QByteArray();
    QTest::newRow("first 15 of 16 characters")
        << sixteenThenFifteen << none << "ABCDEFGHIJKLMNO" << 0 << QByteArray();
    QTest::newRow("15 characters behind 16")
        << sixteenThenFifteen << none << "QRSTUVWXYZ01234" << 1 << QByteArray();
    QTest::newRow("no converters")
        << QList<ConverterIdentity>() << none << "DE01" << -1 << NoDevices;
    QTest::newRow("count unavailable")
        << two << QList<Failure>{{SimulatedFtdi::CreateDeviceInfoList, 1, FT_IO_ERROR}} << "DE01"
        << -1 << NoDevices;
    QTest::newRow("details unavailable")
        << two << QList<Failure>{{SimulatedFtdi::GetDeviceInfoList, 1, FT_IO_ERROR}} << "DE01" << -1
        << QByteArray("failed to get FTDI details\n");
}

void TestDiscovery::lookupBySerialNumber()
{
    QFETCH(QList<ConverterIdentity>, converters);
    QFETCH(QList<Failure>, failures);
    QFETCH(QString, serial);
    QFETCH(int, index);
    QFETCH(QByteArray, message);
    Setup setup;
    addConverters(setup, converters);
    for (const Failure &failure : failures)
        setup.ftdi.injectFailure(failure.operation, failure.call, failure.status);

    const CapturedRun lookedUp = run({"-sn", serial, "-r"});

    if (index < 0) {
        QCOMPARE(lookedUp.output,
                 message + "invalid serial number parameter " + serial.toLocal8Bit() + "\n");
        QCOMPARE(lookedUp.status, 1);
        QCOMPARE(setup.ftdi.callCount(SimulatedFtdi::Open), 0);
        return;
    }
    QCOMPARE(lookedUp.output, QByteArray("reset via FTDI\nSUCCESS\n"));
    QCOMPARE(lookedUp.status, 0);
    QCOMPARE(setup.ftdi.bitModeCalls().first().converter, index);
}

void TestDiscovery::resetPulse()
{
    Setup setup;
    SimulatedConverter &adapter = setup.ftdi.addConverter(converter("DE01"));

    const CapturedRun reset = run({"-d", "0", "-r"});

    QCOMPARE(reset.output, QByteArray("reset via FTDI\nSUCCESS\n"));
    QCOMPARE(reset.status, 0);
    const QList<SimulatedFtdi::BitModeCall> &calls = setup.ftdi.bitModeCalls();
    QCOMPARE(calls.size(), 4);
    const qint64 begin = calls.at(0).time;
    const struct
    {
        qint64 time;
        uint8_t mask;
        uint8_t mode;
    } expected[] = {{0, 0xF1, 0x20}, {0, 0xF0, 0x20}, {200000, 0xF1, 0x20}, {220000, 0x00, 0x00}};
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(calls.at(i).time - begin, expected[i].time);
        QCOMPARE(calls.at(i).mask, expected[i].mask);
        QCOMPARE(calls.at(i).mode, expected[i].mode);
        QCOMPARE(calls.at(i).converter, 0);
    }
    QCOMPARE(adapter.bootloader().startCount(), 1);
    QVERIFY(!adapter.isResetAsserted());
    QVERIFY(!adapter.isOpen());
}

void TestDiscovery::resetFailures_data()
{
    QTest::addColumn<QStringList>("device");
    QTest::addColumn<Failure>("failure");
    QTest::addColumn<QByteArray>("output"); // behind "reset via FTDI\n"
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("bitModeCalls");
    // The simulated handle stays open where the D2XX layer claimed it was invalid or could
    // not be closed; every other handle is closed by the end of the run.
    QTest::addColumn<bool>("stillOpen");

    const QStringList first{"-d", "0"};
    const auto bitMode = [](int call, FT_STATUS status) {
        return Failure{SimulatedFtdi::SetBitMode, call, status};
    };
    QTest::newRow("no such device")
        << QStringList{"-d", "1"} << Failure{SimulatedFtdi::Open, 0, 0}
        << QByteArray("FTDI can't open device 1, status = 2\n") << 1 << 0 << false;
    QTest::newRow("largest device number")
        << QStringList{"-d", "4294967295"} << Failure{SimulatedFtdi::Open, 0, 0}
        << QByteArray("FTDI can't open device 4294967295, status = 2\n") << 1 << 0 << false;
    QTest::newRow("open fails") << first << Failure{SimulatedFtdi::Open, 1, FT_DEVICE_NOT_OPENED}
                                << QByteArray("FTDI can't open device 0, status = 3\n") << 1 << 0
                                << false;
    QTest::newRow("invalid handle")
        << first << bitMode(1, FT_INVALID_HANDLE) << QByteArray() << 1 << 1 << true;
    QTest::newRow("CBUS0 high fails")
        << first << bitMode(1, FT_IO_ERROR)
        << QByteArray("FTDI failed to set BitMask 0xF1, status = 4\n") << 1 << 1 << false;
    QTest::newRow("CBUS0 low fails")
        << first << bitMode(2, FT_IO_ERROR)
        << QByteArray("FTDI failed to set BitMask 0xF0, status = 4\n") << 1 << 3 << false;
    QTest::newRow("end of pulse fails")
        << first << bitMode(3, FT_OTHER_ERROR)
        << QByteArray("FTDI failed to set BitMask 0xF1, status = 18\n") << 1 << 4 << false;
    QTest::newRow("normal mode fails")
        << first << bitMode(4, FT_IO_ERROR)
        << QByteArray("FTDI failed to set reset to normal mode, status = 4\n") << 1 << 4 << false;
    QTest::newRow("close fails") << first << Failure{SimulatedFtdi::Close, 1, FT_IO_ERROR}
                                 << QByteArray("FTDI failed to close handle, status = 4\nSUCCESS\n")
                                 << 0 << 4 << true;
}

void TestDiscovery::resetFailures()
{
    QFETCH(QStringList, device);
    QFETCH(Failure, failure);
    QFETCH(QByteArray, output);
    QFETCH(int, status);
    QFETCH(int, bitModeCalls);
    QFETCH(bool, stillOpen);
    Setup setup;
    SimulatedConverter &adapter = setup.ftdi.addConverter(converter("DE01"));
    if (failure.call > 0)
        setup.ftdi.injectFailure(failure.operation, failure.call, failure.status);

    const CapturedRun reset = run(device + QStringList{"-r"});

    QCOMPARE(reset.output, "reset via FTDI\n" + output);
    QCOMPARE(reset.status, status);
    QCOMPARE(setup.ftdi.bitModeCalls().size(), bitModeCalls);
    QCOMPARE(adapter.isOpen(), stillOpen);
    // A pulse cut short by a failure is ended when the converter is closed.
    QVERIFY(!adapter.isResetAsserted());
}

QTEST_GUILESS_MAIN(TestDiscovery)
#include "tst_discovery.moc"

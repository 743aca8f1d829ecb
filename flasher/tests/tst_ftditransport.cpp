#include "brennix.h"
#include "clock.h"
#include "simulatedftdi.h"
#include "testsupport.h"
#include "virtualclock.h"

#include <QtTest>

using TestSupport::captureRun;

namespace {

const uint8_t WakeUp[] = {0x1A, 0x1C, 0xA9, 0xAE};

} // namespace

// The device operations on an FTDI converter: settings on open, reads that never wait,
// waits that end when bytes arrive and 100 ms flushing, measured on the virtual clock.
class TestFtdiTransport : public QObject
{
    Q_OBJECT

private:
    // Resets the adapter and wakes its bootloader, which then has "READY" on its way.
    void openAndWakeUp()
    {
        QCOMPARE(captureRun([this] { return m_brennix->resetDevice(); }).status, 0);
        QVERIFY(m_brennix->openDevice());
        QCOMPARE(m_brennix->writeDevice(WakeUp, 4), qint64(4));
    }

    QScopedPointer<VirtualClock> m_clock;
    QScopedPointer<SimulatedFtdi> m_ftdi;
    SimulatedConverter *m_adapter = nullptr;
    QScopedPointer<Brennix> m_brennix;

private slots:
    void init();
    void cleanup();
    void openApplies_data();
    void openApplies();
    void openFails();
    void readNeverWaits();
    void readFailures_data();
    void readFailures();
    void wait_data();
    void wait();
    void waitReturnsWhenDataArrives();
    void flush_data();
    void flush();
    void write_data();
    void write();
    void closeFails();
    void noDeviceFails();
};

void TestFtdiTransport::init()
{
    m_clock.reset(new VirtualClock);
    m_ftdi.reset(new SimulatedFtdi(*m_clock));
    m_adapter = &m_ftdi->addConverter();
    m_brennix.reset(new Brennix);
    m_brennix->deviceKind = FtdiDevice;
}

void TestFtdiTransport::cleanup()
{
    m_brennix.reset();
    m_ftdi.reset();
    m_clock.reset();
}

void TestFtdiTransport::openApplies_data()
{
    QTest::addColumn<int>("latency");
    QTest::addColumn<int>("rejected"); // the setting that fails, or -1
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("all settings") << 8 << -1 << QByteArray();
    QTest::newRow("latency 16") << 16 << -1 << QByteArray();
    QTest::newRow("time-outs rejected, unreported")
        << 8 << int(SimulatedFtdi::SetTimeouts) << QByteArray();
    QTest::newRow("baud rate rejected")
        << 8 << int(SimulatedFtdi::SetBaudRate) << QByteArray("FTDI failed to set baudrate\n");
    QTest::newRow("latency rejected") << 16 << int(SimulatedFtdi::SetLatencyTimer)
                                      << QByteArray("FTDI failed to set latency timer to 16 ms\n");
    QTest::newRow("8N1 rejected") << 8 << int(SimulatedFtdi::SetDataCharacteristics)
                                  << QByteArray("FTDI failed to set 8N1\n");
    // A converter without an event character still flashes, only more slowly.
    QTest::newRow("event character rejected, unreported")
        << 8 << int(SimulatedFtdi::SetChars) << QByteArray();
}

void TestFtdiTransport::openApplies()
{
    QFETCH(int, latency);
    QFETCH(int, rejected);
    QFETCH(QByteArray, message);
    if (rejected >= 0)
        m_ftdi->injectFailure(SimulatedFtdi::Operation(rejected), 1, FT_IO_ERROR);
    m_brennix->latency = latency;

    const auto opened = captureRun([this] { return int(m_brennix->openDevice()); });

    QCOMPARE(opened.output, message);
    QCOMPARE(opened.status, 1);
    QVERIFY(m_brennix->isOpen);
    QVERIFY(m_adapter->isOpen());
    const LineSettings &settings = m_adapter->lineSettings();
    const LineSettings untouched;
    const bool timeoutsSet = rejected != SimulatedFtdi::SetTimeouts;
    QCOMPARE(settings.readTimeoutMs, timeoutsSet ? 5000u : untouched.readTimeoutMs);
    QCOMPARE(settings.writeTimeoutMs, timeoutsSet ? 1000u : untouched.writeTimeoutMs);
    QCOMPARE(settings.baudRate,
             rejected == SimulatedFtdi::SetBaudRate ? untouched.baudRate : 38400u);
    QCOMPARE(int(settings.latencyTimerMs),
             rejected == SimulatedFtdi::SetLatencyTimer ? untouched.latencyTimerMs : latency);
    QCOMPARE(m_ftdi->callCount(SimulatedFtdi::SetDataCharacteristics), 1);
    QCOMPARE(settings.eventCharEnabled, rejected != SimulatedFtdi::SetChars);
    QCOMPARE(settings.eventChar, rejected == SimulatedFtdi::SetChars ? 0 : ';');
}

void TestFtdiTransport::openFails()
{
    m_ftdi->injectFailure(SimulatedFtdi::Open, 1, FT_DEVICE_NOT_OPENED);

    const auto opened = captureRun([this] { return int(m_brennix->openDevice()); });

    QCOMPARE(opened.output, QByteArray());
    QCOMPARE(opened.status, 0);
    QVERIFY(!m_brennix->isOpen);
    QCOMPARE(m_ftdi->callCount(SimulatedFtdi::SetBaudRate), 0);
}

void TestFtdiTransport::readNeverWaits()
{
    openAndWakeUp();
    uint8_t buffer[16] = {};

    const qint64 before = m_clock->now();
    QCOMPARE(m_brennix->readDevice(buffer, sizeof buffer), qint64(0));
    QCOMPARE(m_clock->now(), before);
    QCOMPARE(m_ftdi->callCount(SimulatedFtdi::Read), 0);

    FlasherClock::sleepMilliseconds(10);
    QCOMPARE(m_brennix->deviceBytesAvailable(), qint64(5));
    QCOMPARE(m_brennix->readDevice(buffer, 3), qint64(3));
    QCOMPARE(m_brennix->readDevice(buffer + 3, sizeof buffer), qint64(2));
    QCOMPARE(QByteArray(reinterpret_cast<char *>(buffer)), QByteArray("READY"));
    QCOMPARE(m_brennix->deviceBytesAvailable(), qint64(0));
}

void TestFtdiTransport::readFailures_data()
{
    QTest::addColumn<int>("operation");
    QTest::newRow("queue status") << int(SimulatedFtdi::GetQueueStatus);
    QTest::newRow("read") << int(SimulatedFtdi::Read);
}

void TestFtdiTransport::readFailures()
{
    QFETCH(int, operation);
    openAndWakeUp();
    FlasherClock::sleepMilliseconds(10);
    m_ftdi->injectFailure(SimulatedFtdi::Operation(operation), 1, FT_IO_ERROR);
    m_ftdi->injectFailure(SimulatedFtdi::GetStatus, 1, FT_IO_ERROR);
    uint8_t buffer[16];

    QCOMPARE(m_brennix->readDevice(buffer, sizeof buffer), qint64(-1));
    QCOMPARE(m_brennix->deviceBytesAvailable(), qint64(-1));
}

void TestFtdiTransport::wait_data()
{
    QTest::addColumn<int>("budget");
    QTest::addColumn<int>("waits");
    QTest::addColumn<bool>("fails");
    QTest::newRow("0 ms") << 0 << 0 << false;
    QTest::newRow("negative") << -5 << 0 << false;
    QTest::newRow("5 ms") << 5 << 1 << false;
    QTest::newRow("1000 ms") << 1000 << 1 << false;
    QTest::newRow("failed wait") << 1000 << 1 << true;
}

void TestFtdiTransport::wait()
{
    QFETCH(int, budget);
    QFETCH(int, waits);
    QFETCH(bool, fails);
    QVERIFY(m_brennix->openDevice());
    if (fails)
        m_ftdi->injectFailure(SimulatedFtdi::WaitForData, 1, FT_IO_ERROR);
    const qint64 before = m_clock->now();

    QVERIFY(!m_brennix->waitForDeviceData(budget));

    QCOMPARE(m_ftdi->callCount(SimulatedFtdi::WaitForData), waits);
    QCOMPARE(m_clock->now() - before, fails ? 0 : qint64(std::max(budget, 0)) * 1000);
}

void TestFtdiTransport::waitReturnsWhenDataArrives()
{
    openAndWakeUp();
    const qint64 before = m_clock->now();

    QVERIFY(m_brennix->waitForDeviceData(1000));

    // The reply starts 2 ms after the wake-up; its first byte takes its wire time.
    QCOMPARE(m_clock->now() - before, 2000 + SimulatedAdapter::wireTime(1, 38400));
}

void TestFtdiTransport::flush_data()
{
    QTest::addColumn<int>("heldQueries");
    QTest::addColumn<int>("failingQuery"); // 0: none
    QTest::addColumn<int>("queries");
    QTest::newRow("empty queue") << 0 << 0 << 1;
    QTest::newRow("three busy queries") << 3 << 0 << 4;
    QTest::newRow("query fails while busy") << 5 << 2 << 2;
}

void TestFtdiTransport::flush()
{
    QFETCH(int, heldQueries);
    QFETCH(int, failingQuery);
    QFETCH(int, queries);
    QVERIFY(m_brennix->openDevice());
    m_adapter->holdTransmitQueue(heldQueries);
    if (failingQuery > 0)
        m_ftdi->injectFailure(SimulatedFtdi::GetStatus, failingQuery, FT_IO_ERROR);
    const qint64 before = m_clock->now();

    m_brennix->flushDevice();

    QCOMPARE(m_ftdi->callCount(SimulatedFtdi::GetStatus), queries);
    QCOMPARE(m_clock->now() - before, qint64(queries - 1) * 100000);
}

void TestFtdiTransport::write_data()
{
    QTest::addColumn<int>("taken"); // bytes the converter takes, or -1 for a failed call
    QTest::addColumn<qint64>("result");
    QTest::newRow("all") << 4 << qint64(4);
    QTest::newRow("short") << 3 << qint64(3);
    QTest::newRow("failure") << -1 << qint64(-1);
}

void TestFtdiTransport::write()
{
    QFETCH(int, taken);
    QFETCH(qint64, result);
    QVERIFY(m_brennix->openDevice());
    if (taken < 0)
        m_ftdi->injectFailure(SimulatedFtdi::Write, 1, FT_IO_ERROR);
    else
        m_ftdi->injectShortWrite(1, uint32_t(taken));

    QCOMPARE(m_brennix->writeDevice(WakeUp, 4), result);
}

void TestFtdiTransport::closeFails()
{
    QVERIFY(m_brennix->openDevice());
    m_ftdi->injectFailure(SimulatedFtdi::Close, 1, FT_IO_ERROR);

    QVERIFY(!m_brennix->closeDevice());
    QVERIFY(!m_brennix->isOpen);
    QVERIFY(m_brennix->closeDevice());
    QCOMPARE(m_ftdi->callCount(SimulatedFtdi::Close), 1);
}

void TestFtdiTransport::noDeviceFails()
{
    m_brennix->deviceKind = NoDevice;
    uint8_t buffer[4];

    QVERIFY(!m_brennix->openDevice());
    QCOMPARE(m_brennix->writeDevice(WakeUp, 4), qint64(-1));
    QCOMPARE(m_brennix->readDevice(buffer, 4), qint64(-1));
    QCOMPARE(m_brennix->deviceBytesAvailable(), qint64(-1));
    QVERIFY(!m_brennix->waitForDeviceData(100));
    m_brennix->flushDevice();
    QVERIFY(m_brennix->closeDevice());
    QCOMPARE(m_ftdi->callCount(SimulatedFtdi::Open), 0);
    QCOMPARE(m_clock->now(), qint64(0));
}

QTEST_GUILESS_MAIN(TestFtdiTransport)
#include "tst_ftditransport.moc"

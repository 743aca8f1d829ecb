#include "brennix.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

// The device operations on a serial port, against a real pseudo-terminal whose master
// side plays the adapter.
class TestSerialTransport : public QObject
{
    Q_OBJECT

private:
    // What the adapter receives within the time given.
    QByteArray adapterReceives(int milliseconds)
    {
        QByteArray received;
        pollfd descriptor{m_master, POLLIN, 0};
        char buffer[256];
        while (poll(&descriptor, 1, milliseconds) > 0) {
            const ssize_t count = ::read(m_master, buffer, sizeof buffer);
            if (count <= 0)
                break;
            received.append(buffer, int(count));
        }
        return received;
    }

    void adapterSends(const QByteArray &bytes)
    {
        QCOMPARE(::write(m_master, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
    }

    int m_master = -1;
    QString m_portName;
    QScopedPointer<Brennix> m_brennix;

private slots:
    void init();
    void cleanup();
    void openSetsOnlyTheBaudRate();
    void openFailsForAMissingPort();
    void writeAndFlush();
    void readNeverWaits();
    void waitForData_data();
    void waitForData();
    void closeTwice();
};

void TestSerialTransport::init()
{
    int slave = -1;
    char name[256] = {};
    QCOMPARE(openpty(&m_master, &slave, name, nullptr, nullptr), 0);
    termios raw{};
    QCOMPARE(tcgetattr(m_master, &raw), 0);
    cfmakeraw(&raw);
    QCOMPARE(tcsetattr(m_master, TCSANOW, &raw), 0);
    // The flasher opens the port by name; the pair lives on while the master is open.
    ::close(slave);
    m_portName = QString::fromLocal8Bit(name);
    m_brennix.reset(new Brennix);
    m_brennix->deviceKind = SerialDevice;
    m_brennix->serialPort.setPortName(m_portName);
}

void TestSerialTransport::cleanup()
{
    m_brennix.reset();
    ::close(m_master);
}

void TestSerialTransport::openSetsOnlyTheBaudRate()
{
    QVERIFY(m_brennix->openDevice());

    QVERIFY(m_brennix->isOpen);
    QVERIFY(m_brennix->serialPort.isOpen());
    QCOMPARE(m_brennix->serialPort.openMode(), QIODevice::ReadWrite);
    termios settings{};
    QCOMPARE(tcgetattr(m_master, &settings), 0);
    QCOMPARE(cfgetospeed(&settings), speed_t(B38400));
    QCOMPARE(cfgetispeed(&settings), speed_t(B38400));
    const QSerialPort fresh;
    QCOMPARE(m_brennix->serialPort.dataBits(), fresh.dataBits());
    QCOMPARE(m_brennix->serialPort.parity(), fresh.parity());
    QCOMPARE(m_brennix->serialPort.stopBits(), fresh.stopBits());
    QCOMPARE(m_brennix->serialPort.flowControl(), fresh.flowControl());
}

void TestSerialTransport::openFailsForAMissingPort()
{
    m_brennix->serialPort.setPortName(QStringLiteral("/dev/no-such-port"));

    const auto opened = TestSupport::captureRun([this] { return int(m_brennix->openDevice()); });

    // QSerialPort names a port below /dev without that prefix.
    QCOMPARE(opened.output, QByteArray("error: can not open no-such-port\n"));
    QCOMPARE(opened.status, 0);
    QVERIFY(!m_brennix->isOpen);
}

void TestSerialTransport::writeAndFlush()
{
    QVERIFY(m_brennix->openDevice());
    const uint8_t descriptor[] = {0x34, 0x12, 0, 0, 0, 0, 0, 0, 0, 0x5A};

    QCOMPARE(m_brennix->writeDevice(descriptor, sizeof descriptor), qint64(sizeof descriptor));
    m_brennix->flushDevice();

    QCOMPARE(adapterReceives(500).toHex(), QByteArray("3412000000000000005a"));
}

void TestSerialTransport::readNeverWaits()
{
    QVERIFY(m_brennix->openDevice());
    uint8_t buffer[16] = {};
    QElapsedTimer timer;
    timer.start();

    QCOMPARE(m_brennix->readDevice(buffer, sizeof buffer), qint64(0));
    QCOMPARE(m_brennix->deviceBytesAvailable(), qint64(0));
    QVERIFY(timer.elapsed() < 100);

    adapterSends("READY");
    QVERIFY(m_brennix->waitForDeviceData(2000));
    QCOMPARE(m_brennix->deviceBytesAvailable(), qint64(5));
    QCOMPARE(m_brennix->readDevice(buffer, 3), qint64(3));
    QCOMPARE(m_brennix->readDevice(buffer + 3, sizeof buffer), qint64(2));
    QCOMPARE(QByteArray(reinterpret_cast<char *>(buffer)), QByteArray("READY"));
}

void TestSerialTransport::waitForData_data()
{
    QTest::addColumn<bool>("adapterTalks");
    QTest::newRow("silence") << false;
    QTest::newRow("reply") << true;
}

void TestSerialTransport::waitForData()
{
    QFETCH(bool, adapterTalks);
    QVERIFY(m_brennix->openDevice());
    if (adapterTalks)
        adapterSends("#");
    QElapsedTimer timer;
    timer.start();

    QCOMPARE(m_brennix->waitForDeviceData(300), adapterTalks);

    if (adapterTalks)
        QVERIFY(timer.elapsed() < 300);
    else
        QVERIFY(timer.elapsed() >= 290);
}

void TestSerialTransport::closeTwice()
{
    QVERIFY(m_brennix->openDevice());

    QVERIFY(m_brennix->closeDevice());
    QVERIFY(!m_brennix->serialPort.isOpen());
    QVERIFY(!m_brennix->isOpen);
    QVERIFY(m_brennix->closeDevice());
    // Closed means released: the port opens again.
    QVERIFY(m_brennix->openDevice());
}

QTEST_GUILESS_MAIN(TestSerialTransport)
#include "tst_serialtransport.moc"

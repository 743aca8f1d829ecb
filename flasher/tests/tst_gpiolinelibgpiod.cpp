#include "brennix.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

// The Moduna module's reset through the real libgpiod, which on a machine without the
// line fails before the serial port is touched, so that a plain file stands in for it.
class TestGpioLineLibgpiod : public QObject
{
    Q_OBJECT

private:
    void addColumns();
    void resetFails();

    QTemporaryDir m_directory;

private slots:
    void initTestCase();
    void cleanupTestCase();
    void noSuchChip_data();
    void noSuchChip();
    void noSuchLine_data();
    void noSuchLine();
};

void TestGpioLineLibgpiod::initTestCase()
{
    QVERIFY(m_directory.isValid());
    const QString port =
        TestSupport::writeFile(m_directory.filePath(QStringLiteral("ttyAMA0")), QByteArray());
    setModunaPaths({QString(), port});
}

void TestGpioLineLibgpiod::cleanupTestCase()
{
    setModunaPaths(ModunaPaths());
}

void TestGpioLineLibgpiod::addColumns()
{
    QTest::addColumn<QString>("chip");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QByteArray>("reason");
}

void TestGpioLineLibgpiod::resetFails()
{
    QFETCH(QString, chip);
    QFETCH(QString, line);
    QFETCH(QByteArray, reason);
    const QString argument = chip + ':' + line;
    Brennix brennix;

    const auto run = TestSupport::captureRun([&] {
        return brennix.execute({"-gpio", argument, "-r"});
    });

    QCOMPARE(run.output, "no device specified use Moduna (" + modunaPaths().uart.toLocal8Bit() +
                             ")\nreset via GPIO " + argument.toLocal8Bit() +
                             "\nerror: can not use GPIO line " + line.toLocal8Bit() + " of chip " +
                             chip.toLocal8Bit() + ": " + reason + "\n");
    QCOMPARE(run.status, 1);
}

void TestGpioLineLibgpiod::noSuchChip_data()
{
    addColumns();
    const QByteArray missing = "No such file or directory";
    QTest::newRow("name") << "gpiochip97"
                          << "0" << missing;
    QTest::newRow("path") << "/dev/gpiochip97"
                          << "GPIO17" << missing;
    QTest::newRow("number") << "97"
                            << "17" << missing;
    QTest::newRow("not a GPIO chip") << "/dev/null"
                                     << "0" << QByteArray("Inappropriate ioctl for device");
}

void TestGpioLineLibgpiod::noSuchChip()
{
    if (QFileInfo::exists(QStringLiteral("/dev/gpiochip97")))
        QSKIP("this machine has a gpiochip97");
    resetFails();
}

void TestGpioLineLibgpiod::noSuchLine_data()
{
    addColumns();
    const QStringList chips = QDir(QStringLiteral("/dev")).entryList({"gpiochip*"}, QDir::System);
    const QString chip = chips.value(0);
    QTest::newRow("name") << chip << "brennix-no-such-line"
                          << QByteArray("No such file or directory");
    QTest::newRow("offset beyond the chip") << chip << "65535" << QByteArray("Invalid argument");
}

void TestGpioLineLibgpiod::noSuchLine()
{
    QFETCH(QString, chip);
    const QFileInfo device(QStringLiteral("/dev/") + chip);
    if (chip.isEmpty() || !device.isReadable() || !device.isWritable())
        QSKIP("this machine has no GPIO chip that this user may open");
    resetFails();
}

QTEST_GUILESS_MAIN(TestGpioLineLibgpiod)
#include "tst_gpiolinelibgpiod.moc"

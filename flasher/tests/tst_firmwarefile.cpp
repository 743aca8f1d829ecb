#include "firmwarefile.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <QtTest>

using TestSupport::firmwareHeader;

namespace {

const QByteArray tooShort = "error: invalid input file format, file too short\n";
const QByteArray sizeMismatch = "error: firmware file size mismatch\n";
const QByteArray invalidType = "error: invalid flash image type\n";
const QByteArray invalidEepromAddress = "error: invalid EEPROM target address\n";
const QByteArray invalidFirmwareAddress = "error: invalid firmware target address\n";

uint8_t crcOf(const QByteArray &bytes)
{
    return crc8(0, reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
}

} // namespace

class TestFirmwareFile : public QObject
{
    Q_OBJECT

private:
    QString write(const QByteArray &content)
    {
        return TestSupport::writeFile(m_directory.filePath(QStringLiteral("image.bin")), content);
    }

    QTemporaryDir m_directory;

private slots:
    void crcCheckValues_data();
    void crcCheckValues();
    void acceptedFiles_data();
    void acceptedFiles();
    void rejectedFiles_data();
    void rejectedFiles();
    void rawFileIsCutAtTheBufferSize();
    void missingImageBytesAreZeroAfterALongerFile();
    void missingFileIsNamedInTheLocalEncoding_data();
    void missingFileIsNamedInTheLocalEncoding();
};

void TestFirmwareFile::crcCheckValues_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("crc");
    QTest::newRow("digits 1 to 9") << QByteArray("123456789") << 0xA2;
    QTest::newRow("abc") << QByteArray("abc") << 0xA9;
    QTest::newRow("no bytes") << QByteArray() << 0x00;
}

void TestFirmwareFile::crcCheckValues()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, crc);
    QCOMPARE(int(crcOf(bytes)), crc);
}

void TestFirmwareFile::acceptedFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("type");
    QTest::addColumn<uint>("targetAddress");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("crc");

    const QByteArray raw14("0123456789abcd");
    QTest::newRow("raw, 14 bytes") << raw14 << 0 << 0 << 0u << 14 << int(crcOf(raw14));
    QTest::newRow("header, empty image") << firmwareHeader(0, 0, 0, 0) << 14 << 0 << 0u << 0 << 0;
    QTest::newRow("header, type 0, right crc")
        << firmwareHeader(0, 0, 9, 0xA2) + "123456789" << 14 << 0 << 0u << 9 << 0xA2;
    const QByteArray bigEndianMagic = QByteArray::fromHex("CAFEFEED") + "0123456789";
    QTest::newRow("big-endian magic is raw")
        << bigEndianMagic << 0 << 0 << 0u << 14 << int(crcOf(bigEndianMagic));
    QTest::newRow("type 5, wrong crc kept")
        << firmwareHeader(5, 0, 9, 0x5A) + "123456789" << 14 << 5 << 0u << 9 << 0x5A;
    QTest::newRow("type 10, address 0")
        << firmwareHeader(10, 0, 3, 0x77) + "abc" << 14 << 10 << 0u << 3 << 0x77;
    QTest::newRow("type 11, 0x10 + 0x1FCF")
        << firmwareHeader(11, 0x10, 0x1FCF, 0x11) << 14 << 11 << 0x10u << 0x1FCF << 0x11;
    // 0x0C is the CRC of "ab" followed by two zero bytes, 0x78 that of "ab" alone.
    QTest::newRow("size larger than what follows, zeros in the crc")
        << firmwareHeader(0, 0, 4, 0x0C) + "ab" << 14 << 0 << 0u << 4 << 0x0C;
    QTest::newRow("size smaller than what follows")
        << firmwareHeader(0, 0, 2, 0x78) + "abcdef" << 14 << 0 << 0u << 2 << 0x78;
    const QByteArray largestRaw(0x3E000, 'x');
    QTest::newRow("raw, 253952 bytes")
        << largestRaw << 0 << 0 << 0u << 0x3E000 << int(crcOf(largestRaw));
}

void TestFirmwareFile::acceptedFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(int, offset);
    QFETCH(int, type);
    QFETCH(uint, targetAddress);
    QFETCH(int, size);
    QFETCH(int, crc);

    const FirmwareFile file = loadFirmwareFile(write(content));

    QCOMPARE(file.error, QByteArray());
    QVERIFY(file.isAccepted());
    QCOMPARE(int(file.image.offset), offset);
    QCOMPARE(int(file.image.type), type);
    QCOMPARE(file.image.targetAddress, targetAddress);
    QCOMPARE(int(file.image.size), size);
    QCOMPARE(int(file.image.crc), crc);
}

void TestFirmwareFile::rejectedFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("error");

    QTest::newRow("empty file") << QByteArray() << tooShort;
    QTest::newRow("raw, 13 bytes") << QByteArray("0123456789abc") << tooShort;
    QTest::newRow("header, 13 bytes") << firmwareHeader(0, 0, 0, 0).left(13) << tooShort;
    QTest::newRow("type 0, stored crc first")
        << firmwareHeader(0, 0, 9, 0x5A) + "123456789"
        << QByteArray("error: invalid crc in input file: 0x5A, expected 0xA2\n");
    QTest::newRow("type 0, one image byte changed")
        << firmwareHeader(0, 0, 9, 0xA2) + "123456780"
        << QByteArray("error: invalid crc in input file: 0xA2, expected 0x2A\n");
    QTest::newRow("type 12") << firmwareHeader(12, 0, 0, 0) << invalidType;
    QTest::newRow("type 12, any address") << firmwareHeader(12, 0x10, 0, 0) << invalidType;
    QTest::newRow("type 255, too large as well")
        << firmwareHeader(255, 1, 0x40000, 0) << invalidType;
    QTest::newRow("type 5, size 0x3E001") << firmwareHeader(5, 0, 0x3E001, 0) << sizeMismatch;
    QTest::newRow("raw, 253953 bytes") << QByteArray(0x3E001, 'x') << sizeMismatch;
    QTest::newRow("raw, 500001 bytes") << QByteArray(500001, 'x') << sizeMismatch;
    // Only zeros follow a bare header, so the CRC over 499986 of them is 0x00.
    QTest::newRow("type 0, size 499986 still read for the crc")
        << firmwareHeader(0, 0, 499986, 0x5A)
        << QByteArray("error: invalid crc in input file: 0x5A, expected 0x00\n");
    QTest::newRow("type 0, size 499987 reaches past the buffer")
        << firmwareHeader(0, 0, 499987, 0x5A) << sizeMismatch;
    QTest::newRow("type 0, size 0xFFFFFFFF") << firmwareHeader(0, 0, 0xFFFFFFFF, 0) << sizeMismatch;
    QTest::newRow("type 11, size 0x1FD0")
        << firmwareHeader(11, 0x10, 0x1FD0, 0) << invalidEepromAddress;
    QTest::newRow("type 11, address 0x0F")
        << firmwareHeader(11, 0x0F, 1, 0) << invalidEepromAddress;
    QTest::newRow("type 11, address 0xFFFFFFF0 + 0x20")
        << firmwareHeader(11, 0xFFFFFFF0, 0x20, 0) << invalidEepromAddress;
    QTest::newRow("type 3, address 1") << firmwareHeader(3, 1, 0, 0) << invalidFirmwareAddress;
    QTest::newRow("type 0, address 0x10")
        << firmwareHeader(0, 0x10, 0, 0) << invalidFirmwareAddress;
}

void TestFirmwareFile::rejectedFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, error);

    const FirmwareFile file = loadFirmwareFile(write(content));

    QCOMPARE(file.error, error);
    QVERIFY(!file.isAccepted());
}

void TestFirmwareFile::rawFileIsCutAtTheBufferSize()
{
    QByteArray content(500001, 'x');
    content[499999] = 'y';
    content[500000] = 'z';

    const FirmwareFile file = loadFirmwareFile(write(content));

    QCOMPARE(file.error, sizeMismatch);
    QCOMPARE(file.image.size, 500000u);
    QCOMPARE(imageBuffer[499999], uint8_t('y'));
}

void TestFirmwareFile::missingImageBytesAreZeroAfterALongerFile()
{
    QVERIFY(loadFirmwareFile(write(QByteArray(1000, '\xFF'))).isAccepted());

    const FirmwareFile file = loadFirmwareFile(write(firmwareHeader(0, 0, 4, 0x0C) + "ab"));

    QVERIFY(file.isAccepted());
    QCOMPARE(imageBuffer[16], uint8_t(0));
    QCOMPARE(imageBuffer[17], uint8_t(0));
    QCOMPARE(imageBuffer[999], uint8_t(0));
}

void TestFirmwareFile::missingFileIsNamedInTheLocalEncoding_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("ascii") << QStringLiteral("missing.bin");
    QTest::newRow("non-ascii") << QStringLiteral("fehlt-\u00fc.bin");
}

void TestFirmwareFile::missingFileIsNamedInTheLocalEncoding()
{
    QFETCH(QString, name);
    const QString path = m_directory.filePath(name);

    const FirmwareFile file = loadFirmwareFile(path);

    QCOMPARE(file.error, "error opening firmware file " + path.toLocal8Bit() + "\n");
}

QTEST_GUILESS_MAIN(TestFirmwareFile)
#include "tst_firmwarefile.moc"

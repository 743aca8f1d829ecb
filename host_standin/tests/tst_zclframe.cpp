#include <halvik.h>

#include <QDataStream>
#include <QtTest>

using Halvik::ZclFrame;

class TestZclFrame : public QObject
{
    Q_OBJECT

private slots:
    void write_data();
    void write();
    void read_data() { write_data(); }
    void read();
    void truncatedHeaderLeavesFrameUnchanged_data();
    void truncatedHeaderLeavesFrameUnchanged();
};

void TestZclFrame::write_data()
{
    QTest::addColumn<quint8>("frameControl");
    QTest::addColumn<quint16>("manufacturerCode");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("wire");

    QTest::newRow("on with timed off")
        << quint8(0x11) << quint16(0) << QByteArray::fromHex("80b0040000")
        << QByteArray::fromHex("112a4280b0040000");
    QTest::newRow("manufacturer code is written only with bit 2")
        << quint8(0x11) << quint16(0x1135) << QByteArray() << QByteArray::fromHex("112a42");
    QTest::newRow("manufacturer specific, code little-endian")
        << quint8(0x15) << quint16(0x1135) << QByteArray::fromHex("01")
        << QByteArray::fromHex("1535112a4201");
}

void TestZclFrame::write()
{
    QFETCH(quint8, frameControl);
    QFETCH(quint16, manufacturerCode);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, wire);

    ZclFrame frame;
    frame.setFrameControl(frameControl);
    frame.setManufacturerCode(manufacturerCode);
    frame.setSequenceNumber(0x2A);
    frame.setCommandId(0x42);
    frame.payload() = payload;

    // The stream's default big-endian order must not leak into the frame.
    QByteArray written;
    QDataStream stream(&written, QIODevice::WriteOnly);
    frame.writeToStream(stream);
    QCOMPARE(written.toHex(), wire.toHex());
}

void TestZclFrame::read()
{
    QFETCH(quint8, frameControl);
    QFETCH(quint16, manufacturerCode);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, wire);

    ZclFrame frame;
    QDataStream stream(wire);
    stream.setByteOrder(QDataStream::LittleEndian);
    QVERIFY(frame.readFromStream(stream));
    QCOMPARE(frame.frameControl(), frameControl);
    if (frameControl & ZclFrame::ManufacturerSpecific)
        QCOMPARE(frame.manufacturerCode(), manufacturerCode);
    QCOMPARE(frame.sequenceNumber(), quint8(0x2A));
    QCOMPARE(frame.commandId(), quint8(0x42));
    QCOMPARE(frame.payload().toHex(), payload.toHex());
}

void TestZclFrame::truncatedHeaderLeavesFrameUnchanged_data()
{
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("no command id") << QByteArray::fromHex("1101");
    QTest::newRow("manufacturer code cut") << QByteArray::fromHex("1535");
}

void TestZclFrame::truncatedHeaderLeavesFrameUnchanged()
{
    QFETCH(QByteArray, wire);

    ZclFrame frame;
    frame.setCommandId(0x07);
    frame.payload() = "kept";
    QDataStream stream(wire);
    QVERIFY(!frame.readFromStream(stream));
    QCOMPARE(frame.commandId(), quint8(0x07));
    QCOMPARE(frame.payload(), QByteArray("kept"));
}

QTEST_GUILESS_MAIN(TestZclFrame)
#include "tst_zclframe.moc"

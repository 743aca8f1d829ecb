#include <halvik.h>

#include <QtTest>

using Halvik::Address;

Q_DECLARE_METATYPE(Halvik::Address)

class TestAddress : public QObject
{
    Q_OBJECT

private slots:
    void classification_data();
    void classification();
    void toStringExt_data();
    void toStringExt();
    void clearRemovesEveryPart();
};

void TestAddress::classification_data()
{
    QTest::addColumn<Address>("address");
    QTest::addColumn<bool>("unicast");

    auto nwk = [](quint16 value) {
        Address a;
        a.setNwk(value);
        return a;
    };
    Address group;
    group.setGroup(0x1234);
    Address extOnly;
    extOnly.setExt(0x00212effff001234ULL);

    QTest::newRow("coordinator 0x0000") << nwk(0x0000) << true;
    QTest::newRow("router 0x1234") << nwk(0x1234) << true;
    QTest::newRow("last unicast 0xFFF7") << nwk(0xFFF7) << true;
    QTest::newRow("reserved broadcast 0xFFF8") << nwk(0xFFF8) << false;
    QTest::newRow("all routers 0xFFFC") << nwk(0xFFFC) << false;
    QTest::newRow("rx-on-when-idle 0xFFFD") << nwk(0xFFFD) << false;
    QTest::newRow("all devices 0xFFFF") << nwk(0xFFFF) << false;
    QTest::newRow("group 0x1234") << group << false;
    QTest::newRow("extended only") << extOnly << false;
    QTest::newRow("empty") << Address() << false;
}

void TestAddress::classification()
{
    QFETCH(Address, address);
    QFETCH(bool, unicast);
    QCOMPARE(address.isNwkUnicast(), unicast);
}

void TestAddress::toStringExt_data()
{
    QTest::addColumn<bool>("hasExt");
    QTest::addColumn<quint64>("ext");
    QTest::addColumn<QString>("text");

    QTest::newRow("none") << false << quint64(0) << "0x0000000000000000";
    QTest::newRow("leading zeros") << true << quint64(0x1A2B) << "0x0000000000001a2b";
    QTest::newRow("full width") << true << quint64(0xFEDCBA9876543210ULL) << "0xfedcba9876543210";
}

void TestAddress::toStringExt()
{
    QFETCH(bool, hasExt);
    QFETCH(quint64, ext);
    QFETCH(QString, text);

    Address address;
    if (hasExt)
        address.setExt(ext);
    QCOMPARE(address.toStringExt(), text);
}

void TestAddress::clearRemovesEveryPart()
{
    Address address;
    address.setExt(0x1122334455667788ULL);
    address.setNwk(0x1234);
    address.setGroup(0x0042);
    QVERIFY(address.hasExt() && address.hasNwk() && address.hasGroup());

    address.clear();
    QVERIFY(!address.hasExt());
    QVERIFY(!address.hasNwk());
    QVERIFY(!address.hasGroup());
    QCOMPARE(address.ext(), quint64(0));
    QCOMPARE(address.toStringExt(), QStringLiteral("0x0000000000000000"));
}

QTEST_GUILESS_MAIN(TestAddress)
#include "tst_address.moc"

#include "testbench.h"

#include <QLineEdit>
#include <QTimer>
#include <QtTest>

// What goes on the air, and where the two plug-ins part ways.
class TestFrames : public QObject
{
    Q_OBJECT

private slots:
    void ondrelDestinationByMode_data();
    void ondrelDestinationByMode();
    void ondrelGroupField_data();
    void ondrelGroupField();
    void ondrelModeChangeTakesEffectWithTheNextFrame();
    void ondrelFrame();
    void monitorRequest_data();
    void monitorRequest();
    void startCondition_data();
    void startCondition();
    void countingRule_data();
    void countingRule();
    void onlyOndrelRefreshesInTheSendStep_data();
    void onlyOndrelRefreshesInTheSendStep();
};

namespace {

const Halvik::Node &nodeUnderTest = TestBench::nodeUnderTest();

} // namespace

void TestFrames::ondrelDestinationByMode_data()
{
    QTest::addColumn<QString>("radio");
    QTest::addColumn<bool>("nodeSelected");
    QTest::addColumn<bool>("nodeRemoved");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("state");
    const int group = Halvik::ApsGroupAddress;
    const int nwk = Halvik::ApsNwkAddress;
    const int idle = Halvik::IdleState;
    const int fireAndForget = Halvik::FireAndForgetState;
    QTest::newRow("all routers") << "broadcastAllRoutersRadioButton" << true << false << nwk
                                 << 0xFFFC << fireAndForget;
    QTest::newRow("all") << "broadcastAllRadioButton" << true << false << nwk << 0xFFFF
                         << fireAndForget;
    QTest::newRow("group") << "groupcastRadioButton" << true << false << group << 0
                           << fireAndForget;
    QTest::newRow("unicast") << "unicastRadioButton" << true << false << nwk << 0x1234 << idle;
    QTest::newRow("unicast, no node")
        << "unicastRadioButton" << false << false << nwk << 0xFFFE << fireAndForget;
    QTest::newRow("unicast, node dropped")
        << "unicastRadioButton" << true << true << nwk << 0xFFFE << fireAndForget;
}

void TestFrames::ondrelDestinationByMode()
{
    QFETCH(QString, radio);
    QFETCH(bool, nodeSelected);
    QFETCH(bool, nodeRemoved);
    QFETCH(int, mode);
    QFETCH(int, address);
    QFETCH(int, state);
    TestBench bench(OndrelPluginFile.path);
    bench.dialog();
    if (nodeSelected)
        bench.select(nodeUnderTest);
    if (nodeRemoved)
        bench.remove(nodeUnderTest);
    bench.click(qPrintable(radio));
    bench.click("startButton");

    QCOMPARE(bench.requests.size(), 1);
    const Halvik::ApsDataRequest &req = bench.requests[0];
    QCOMPARE(int(req.dstAddressMode()), mode);
    QCOMPARE(
        int(mode == Halvik::ApsGroupAddress ? req.dstAddress().group() : req.dstAddress().nwk()),
        address);
    QCOMPARE(int(req.state()), state);
}

void TestFrames::ondrelGroupField_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("group");
    QTest::newRow("hexadecimal") << "0x10" << 16;
    QTest::newRow("hexadecimal, capital X") << "0X1f" << 31;
    QTest::newRow("octal") << "010" << 8;
    QTest::newRow("decimal") << "16" << 16;
    QTest::newRow("letters") << "abc" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("beyond 16 bits") << "70000" << 4464;
    QTest::newRow("negative") << "-1" << 0xFFFF;
}

void TestFrames::ondrelGroupField()
{
    QFETCH(QString, text);
    QFETCH(int, group);
    TestBench bench(OndrelPluginFile.path);
    bench.click("groupcastRadioButton");
    qobject_cast<QLineEdit *>(bench.widget("groupAddressLineEdit"))->setText(text);
    bench.click("startButton");

    QCOMPARE(int(bench.requests[0].dstAddressMode()), int(Halvik::ApsGroupAddress));
    QCOMPARE(int(bench.requests[0].dstAddress().group()), group);
}

void TestFrames::ondrelModeChangeTakesEffectWithTheNextFrame()
{
    TestBench bench(OndrelPluginFile.path);
    bench.setDelay(10000);
    bench.click("startButton");
    qobject_cast<QLineEdit *>(bench.widget("groupAddressLineEdit"))->setText("0x20");
    bench.click("groupcastRadioButton");
    QCOMPARE(int(bench.requests[0].dstAddress().nwk()), 0xFFFC);

    bench.confirmLast();
    bench.tick();
    QCOMPARE(int(bench.requests[1].dstAddressMode()), int(Halvik::ApsGroupAddress));
    QCOMPARE(int(bench.requests[1].dstAddress().group()), 0x20);
}

void TestFrames::ondrelFrame()
{
    TestBench bench(OndrelPluginFile.path);
    bench.click("groupcastRadioButton");
    bench.click("startButton");

    const Halvik::ApsDataRequest &req = bench.requests[0];
    QCOMPARE(int(req.profileId()), 0x0104);
    QCOMPARE(int(req.clusterId()), 0x0006);
    QCOMPARE(int(req.dstEndpoint()), 0x10);
    QCOMPARE(int(req.srcEndpoint()), 0x01);
    QCOMPARE(req.asdu().size(), 8);
    QCOMPARE(req.asdu().left(1).toHex(), QByteArray("11"));
    QCOMPARE(req.asdu().mid(2).toHex(), QByteArray("4280b0040000"));
}

void TestFrames::monitorRequest_data()
{
    QTest::addColumn<int>("nwk");
    QTest::addColumn<int>("id");
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("id 5") << 0x1234 << 5 << QByteArray("0534120000");
    QTest::newRow("id 200") << 0x1234 << 200 << QByteArray("c834120000");
    QTest::newRow("id 0") << 0xabcd << 0 << QByteArray("00cdab0000");
}

void TestFrames::monitorRequest()
{
    QFETCH(int, nwk);
    QFETCH(int, id);
    QFETCH(QByteArray, payload);
    TestBench bench(KalSignalPluginFile.path);
    const Halvik::Node node = TestBench::node(0x00212effff000001, quint16(nwk));
    bench.dialog();
    bench.select(node);
    TestBench::nextRequestIdWillBe(quint8(id));
    bench.click("startButton");

    const Halvik::ApsDataRequest &req = bench.requests[0];
    QCOMPARE(int(req.id()), id);
    QCOMPARE(req.asdu().toHex(), payload);
    QCOMPARE(int(req.dstAddressMode()), int(Halvik::ApsNwkAddress));
    QCOMPARE(req.dstAddress().ext(), node.address().ext());
    QCOMPARE(int(req.dstAddress().nwk()), nwk);
    QCOMPARE(int(req.profileId()), 0x0000);
    QCOMPARE(int(req.clusterId()), 0x0001);
    QCOMPARE(int(req.dstEndpoint()), 0x00);
    QCOMPARE(int(req.srcEndpoint()), 0x01);
    QCOMPARE(int(req.state()), int(Halvik::IdleState));
}

void TestFrames::startCondition_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("selection");
    QTest::addColumn<bool>("sends");
    for (const PluginFile &plugin : BothPlugins) {
        const bool ondrel = plugin.path == OndrelPluginFile.path;
        QTest::addRow("%s, no node", plugin.tag) << QString(plugin.path) << "none" << ondrel;
        QTest::addRow("%s, node before dialog", plugin.tag)
            << QString(plugin.path) << "before dialog" << ondrel;
        QTest::addRow("%s, node dropped", plugin.tag)
            << QString(plugin.path) << "dropped" << ondrel;
        QTest::addRow("%s, no extended address", plugin.tag)
            << QString(plugin.path) << "no extended address" << ondrel;
        QTest::addRow("%s, node", plugin.tag) << QString(plugin.path) << "node" << true;
    }
}

void TestFrames::startCondition()
{
    QFETCH(QString, path);
    QFETCH(QString, selection);
    QFETCH(bool, sends);
    TestBench bench(path);
    if (selection == "before dialog")
        bench.select(nodeUnderTest);
    bench.dialog();
    if (selection == "node" || selection == "dropped")
        bench.select(nodeUnderTest);
    if (selection == "dropped")
        bench.remove(nodeUnderTest);
    if (selection == "no extended address")
        bench.select(TestBench::node({}, 0x1234));

    bench.click("startButton");
    // The window shows a test running either way.
    QCOMPARE(bench.text("statusLabel"), "Send 0 packets");
    QCOMPARE(bench.requests.size(), sends ? 1 : 0);
    QCOMPARE(bench.sendTimer()->isActive(), sends);
    bench.click("stopButton");
    QCOMPARE(bench.text("statusLabel"), "Stopped");
}

void TestFrames::countingRule_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("shown");
    QTest::newRow("ondrel, success") << OndrelPluginFile.path << 0 << "Send 1 packets";
    QTest::newRow("ondrel, failure") << OndrelPluginFile.path << 0xE9 << "Send 1 packets";
    QTest::newRow("kal, success") << KalSignalPluginFile.path << 0 << "Send 1 packets";
    QTest::newRow("kal, failure") << KalSignalPluginFile.path << 0xE9 << "Send 0 packets";
}

void TestFrames::countingRule()
{
    QFETCH(QString, path);
    QFETCH(int, status);
    QFETCH(QString, shown);
    TestBench bench(path);
    bench.openWith(nodeUnderTest);
    bench.click("startButton");
    bench.tick();

    // Counted or not, the confirm moves the loop on: the pending tick sends at once.
    bench.confirmLast(quint8(status));
    QCOMPARE(bench.text("statusLabel"), shown);
    QCOMPARE(bench.requests.size(), 2);
}

void TestFrames::onlyOndrelRefreshesInTheSendStep_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("rssi");
    QTest::newRow("ondrel") << OndrelPluginFile.path << "-60";
    QTest::newRow("kal") << KalSignalPluginFile.path << "0";
}

void TestFrames::onlyOndrelRefreshesInTheSendStep()
{
    QFETCH(QString, path);
    QFETCH(QString, rssi);
    TestBench bench(path);
    bench.openWith(nodeUnderTest);
    bench.result = -1;
    bench.click("startButton");

    bench.indicate(nodeUnderTest, 0x0000, 0x8001, 200, -60);
    bench.tick();
    QCOMPARE(bench.requests.size(), 2);
    QCOMPARE(bench.text("rssiLineEdit"), rssi);
}

QTEST_MAIN(TestFrames)
#include "tst_frames.moc"

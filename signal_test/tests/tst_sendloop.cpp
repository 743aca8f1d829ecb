#include "testbench.h"

#include <QTimer>
#include <QtTest>

#include <memory>

// The send loop, node following and indication filter, which both plug-ins share: every case
// runs against each of them.
class TestSendLoop : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase_data();
    void firstFrameLeavesAtOnce();
    void delayIsReadAtStart();
    void ticksWhileWaitingSendOnceOnTheConfirm();
    void realTimerDrivesTheLoop();
    void refusedRequestIsRetriedWithANewId();
    void unmatchedConfirmsAreIgnored();
    void startWhileRunningIsIgnored();
    void stopAndRestartResetTheCount();
    void startHoldsForThePreviousConfirm_data();
    void startHoldsForThePreviousConfirm();
    void hostConfirmingInsideTheCallDoesNotStallTheLoop();
    void nodeRemoval_data();
    void nodeRemoval();
    void otherNodeEventsChangeNothing();
    void selectingAnotherNodeMovesTheTest();
    void indicationFilter_data();
    void indicationFilter();
    void indicationsAreIgnoredWhileIdle();
    void nodeMatching_data();
    void nodeMatching();
    void deletedDialogStopsTheTest();
    void stopInsideARequest_data();
    void stopInsideARequest();
    void stopAndRestartDuringARefusedRequestStand();
    void tickDuringARefusedRequestLeavesNothingWaiting();
    void startWithoutDialogIsIgnored();
};

Q_DECLARE_METATYPE(Halvik::Node)

namespace {

const Halvik::Node &nodeUnderTest = TestBench::nodeUnderTest();
const Halvik::Node otherNode = TestBench::node(0x00212effff00abcd, 0xabcd);
const quint16 DeviceProfile = 0x0000;
const quint16 HomeAutomationProfile = 0x0104;

std::unique_ptr<TestBench> openBench()
{
    QFETCH_GLOBAL(QString, path);
    auto bench = std::make_unique<TestBench>(path);
    bench->openWith(nodeUnderTest);
    return bench;
}

std::unique_ptr<TestBench> runningBench()
{
    std::unique_ptr<TestBench> bench = openBench();
    bench->click("startButton");
    return bench;
}

} // namespace

void TestSendLoop::initTestCase_data()
{
    QTest::addColumn<QString>("path");
    for (const PluginFile &plugin : BothPlugins)
        QTest::newRow(plugin.tag) << QString(plugin.path);
}

void TestSendLoop::firstFrameLeavesAtOnce()
{
    std::unique_ptr<TestBench> bench = runningBench();
    QCOMPARE(bench->requests.size(), 1);
    QTimer *timer = bench->sendTimer();
    QVERIFY(timer->isActive());
    QVERIFY(!timer->isSingleShot());
    QCOMPARE(timer->interval(), 10000);
    QCOMPARE(bench->text("statusLabel"), "Send 0 packets");
}

void TestSendLoop::delayIsReadAtStart()
{
    std::unique_ptr<TestBench> bench = runningBench();
    bench->setDelay(5000);
    QCOMPARE(bench->sendTimer()->interval(), 10000);

    bench->click("stopButton");
    QVERIFY(!bench->sendTimer()->isActive());
    bench->click("startButton");
    QCOMPARE(bench->sendTimer()->interval(), 5000);
}

void TestSendLoop::ticksWhileWaitingSendOnceOnTheConfirm()
{
    std::unique_ptr<TestBench> bench = runningBench();
    bench->tick();
    bench->tick();
    bench->tick();
    QCOMPARE(bench->requests.size(), 1);

    bench->confirmLast();
    QCOMPARE(bench->requests.size(), 2);
    QCOMPARE(bench->text("statusLabel"), "Send 1 packets");

    // No tick since: the next frame waits for one.
    bench->confirmLast();
    QCOMPARE(bench->requests.size(), 2);
    QCOMPARE(bench->text("statusLabel"), "Send 2 packets");
    bench->tick();
    QCOMPARE(bench->requests.size(), 3);
}

void TestSendLoop::realTimerDrivesTheLoop()
{
    std::unique_ptr<TestBench> bench = openBench();
    bench->setDelay(10);
    bench->click("startButton");
    QTest::qWait(50);
    QCOMPARE(bench->requests.size(), 1);

    bench->confirmLast();
    QCOMPARE(bench->requests.size(), 2);
    bench->confirmLast();
    QTRY_COMPARE_WITH_TIMEOUT(bench->requests.size(), 3, 1000);
}

void TestSendLoop::refusedRequestIsRetriedWithANewId()
{
    std::unique_ptr<TestBench> bench = openBench();
    bench->result = -1;
    bench->click("startButton");
    bench->tick();
    QCOMPARE(bench->requests.size(), 2);
    QVERIFY(bench->requests[0].id() != bench->requests[1].id());

    bench->result = 0;
    bench->tick();
    bench->tick();
    QCOMPARE(bench->requests.size(), 3);
    QVERIFY(bench->requests[1].id() != bench->requests[2].id());
}

void TestSendLoop::unmatchedConfirmsAreIgnored()
{
    std::unique_ptr<TestBench> bench = runningBench();
    bench->tick();
    bench->confirm(quint8(bench->requests.last().id() + 1));
    QCOMPARE(bench->requests.size(), 1);
    QCOMPARE(bench->text("statusLabel"), "Send 0 packets");

    bench->confirmLast();
    QCOMPARE(bench->requests.size(), 2);
    QCOMPARE(bench->text("statusLabel"), "Send 1 packets");
}

void TestSendLoop::startWhileRunningIsIgnored()
{
    std::unique_ptr<TestBench> bench = runningBench();
    bench->confirmLast();
    QVERIFY(QMetaObject::invokeMethod(bench->plugin(), "startSending"));
    QCOMPARE(bench->requests.size(), 1);
    bench->confirmLast();
    QCOMPARE(bench->text("statusLabel"), "Send 2 packets");
}

void TestSendLoop::stopAndRestartResetTheCount()
{
    std::unique_ptr<TestBench> bench = runningBench();
    bench->confirmLast();
    bench->tick();
    QCOMPARE(bench->requests.size(), 2);

    bench->click("stopButton");
    QVERIFY(!bench->sendTimer()->isActive());
    bench->tick();
    // The confirm of the last request still counts while idle, but neither shows nor sends.
    bench->confirmLast();
    QCOMPARE(bench->requests.size(), 2);
    QCOMPARE(bench->text("statusLabel"), "Stopped");

    bench->click("startButton");
    QCOMPARE(bench->requests.size(), 3);
    QCOMPARE(bench->text("statusLabel"), "Send 0 packets");
    bench->confirmLast();
    QCOMPARE(bench->text("statusLabel"), "Send 1 packets");
}

// Stop and Start while the last request still awaits its confirm: the new run's first frame
// waits for that confirm, but no longer than the first tick, and the confirm is not the new
// run's to count.
void TestSendLoop::startHoldsForThePreviousConfirm_data()
{
    QTest::addColumn<QString>("whileHeld");
    QTest::addColumn<bool>("released");
    QTest::newRow("its confirm") << "its confirm" << true;
    QTest::newRow("another confirm") << "another confirm" << false;
    QTest::newRow("a tick") << "tick" << true;
}

void TestSendLoop::startHoldsForThePreviousConfirm()
{
    QFETCH(QString, whileHeld);
    QFETCH(bool, released);
    std::unique_ptr<TestBench> bench = runningBench();
    const quint8 previous = bench->requests.last().id();
    bench->click("stopButton");
    bench->click("startButton");
    QCOMPARE(bench->requests.size(), 1);
    QVERIFY(bench->sendTimer()->isActive());

    if (whileHeld == "its confirm")
        bench->confirm(previous);
    else if (whileHeld == "another confirm")
        bench->confirm(quint8(previous + 1));
    else
        bench->tick();
    QCOMPARE(bench->requests.size(), released ? 2 : 1);

    bench->tick();
    QCOMPARE(bench->requests.size(), 2);
    bench->confirm(previous);
    bench->confirmLast();
    QCOMPARE(bench->text("statusLabel"), "Send 1 packets");
}

void TestSendLoop::hostConfirmingInsideTheCallDoesNotStallTheLoop()
{
    std::unique_ptr<TestBench> bench = openBench();
    bench->confirmAtOnce = true;
    bench->click("startButton");
    QCOMPARE(bench->text("statusLabel"), "Send 1 packets");
    bench->tick();
    bench->tick();
    QCOMPARE(bench->requests.size(), 3);
}

void TestSendLoop::nodeRemoval_data()
{
    QTest::addColumn<bool>("underTest");
    QTest::newRow("node under test") << true;
    QTest::newRow("another node") << false;
}

void TestSendLoop::nodeRemoval()
{
    QFETCH(bool, underTest);
    std::unique_ptr<TestBench> bench = runningBench();
    bench->confirmLast();
    QSignalSpy stopSpy(bench->dialog(), SIGNAL(stopPressed()));

    bench->remove(underTest ? nodeUnderTest : otherNode);
    bench->tick();
    QCOMPARE(stopSpy.count(), underTest ? 1 : 0);
    QCOMPARE(bench->sendTimer()->isActive(), !underTest);
    QCOMPARE(bench->requests.size(), underTest ? 1 : 2);
    QCOMPARE(bench->text("statusLabel"), underTest ? "Stopped" : "Send 1 packets");
    QCOMPARE(bench->text("nodeLineEdit"),
             underTest ? Halvik::Address().toStringExt() : nodeUnderTest.address().toStringExt());
}

void TestSendLoop::otherNodeEventsChangeNothing()
{
    std::unique_ptr<TestBench> bench = runningBench();
    emit bench->nodeEvent(Halvik::NodeEvent(Halvik::NodeEvent::NodeSelected, nullptr));
    emit bench->nodeEvent(Halvik::NodeEvent(Halvik::NodeEvent::NodeRemoved, nullptr));
    emit bench->nodeEvent(Halvik::NodeEvent(1, &otherNode));
    emit bench->nodeEvent(Halvik::NodeEvent(2, &nodeUnderTest));

    QCOMPARE(bench->text("nodeLineEdit"), nodeUnderTest.address().toStringExt());
    QVERIFY(bench->sendTimer()->isActive());
    QCOMPARE(bench->text("statusLabel"), "Send 0 packets");
}

void TestSendLoop::selectingAnotherNodeMovesTheTest()
{
    std::unique_ptr<TestBench> bench = runningBench();
    bench->confirmLast();
    bench->select(otherNode);
    QCOMPARE(bench->text("nodeLineEdit"), otherNode.address().toStringExt());

    bench->indicate(nodeUnderTest, DeviceProfile, 0x8001, 10, -10);
    bench->indicate(otherNode, DeviceProfile, 0x8001, 20, -20);
    bench->tick();
    bench->confirmLast();
    QCOMPARE(bench->text("statusLabel"), "Send 2 packets");
    QCOMPARE(bench->text("rssiLineEdit"), "-20");
}

void TestSendLoop::indicationFilter_data()
{
    QTest::addColumn<quint16>("profile");
    QTest::addColumn<quint16>("cluster");
    QTest::addColumn<bool>("fromNodeUnderTest");
    QTest::addColumn<bool>("taken");
    QTest::newRow("address response") << DeviceProfile << quint16(0x8001) << true << true;
    QTest::newRow("any device profile cluster") << DeviceProfile << quint16(0x0013) << true << true;
    QTest::newRow("address response, other profile")
        << HomeAutomationProfile << quint16(0x8001) << true << true;
    QTest::newRow("on/off") << HomeAutomationProfile << quint16(0x0006) << true << false;
    QTest::newRow("other node") << DeviceProfile << quint16(0x8001) << false << false;
}

void TestSendLoop::indicationFilter()
{
    QFETCH(quint16, profile);
    QFETCH(quint16, cluster);
    QFETCH(bool, fromNodeUnderTest);
    QFETCH(bool, taken);
    std::unique_ptr<TestBench> bench = runningBench();

    bench->indicate(fromNodeUnderTest ? nodeUnderTest : otherNode, profile, cluster, 200,
                    qint8(0xC4));
    QCOMPARE(bench->text("rssiLineEdit"), "0");
    QCOMPARE(bench->text("lqiLineEdit"), "0");

    bench->confirmLast();
    QCOMPARE(bench->text("rssiLineEdit"), taken ? "-60" : "0");
    QCOMPARE(bench->text("lqiLineEdit"), taken ? "200" : "0");
}

void TestSendLoop::indicationsAreIgnoredWhileIdle()
{
    std::unique_ptr<TestBench> bench = openBench();
    bench->indicate(nodeUnderTest, DeviceProfile, 0x8001, 200, -60);
    bench->click("startButton");
    bench->confirmLast();
    QCOMPARE(bench->text("rssiLineEdit"), "0");

    // Start keeps the figures of the previous run until the node sends again.
    bench->indicate(nodeUnderTest, DeviceProfile, 0x8001, 200, -60);
    bench->click("stopButton");
    bench->indicate(nodeUnderTest, DeviceProfile, 0x8001, 100, -30);
    bench->click("startButton");
    QCOMPARE(bench->text("rssiLineEdit"), "-60");
    QCOMPARE(bench->text("lqiLineEdit"), "200");
}

// Which frames and removals belong to the node under test, when either side may lack its
// extended or its short address. The test moves to the row's node, then hears from `other`.
void TestSendLoop::nodeMatching_data()
{
    QTest::addColumn<Halvik::Node>("underTest");
    QTest::addColumn<Halvik::Node>("other");
    QTest::addColumn<bool>("matches");
    const quint64 ext = 0x00212effff001234;
    const quint64 otherExt = 0x00212effff00abcd;
    QTest::newRow("same extended, other short")
        << TestBench::node(ext, 0x1234) << TestBench::node(ext, 0x5678) << true;
    QTest::newRow("other extended, same short")
        << TestBench::node(ext, 0x1234) << TestBench::node(otherExt, 0x1234) << false;
    QTest::newRow("sender known by its short address")
        << TestBench::node(ext, 0x1234) << TestBench::node({}, 0x1234) << true;
    QTest::newRow("node known by its short address")
        << TestBench::node({}, 0x1234) << TestBench::node(otherExt, 0x1234) << true;
    QTest::newRow("both known by other short addresses")
        << TestBench::node({}, 0x1234) << TestBench::node({}, 0x5678) << false;
    QTest::newRow("no node, sender known by its short address")
        << TestBench::node({}, {}) << TestBench::node({}, 0x5678) << false;
    QTest::newRow("no node, sender without address")
        << TestBench::node({}, {}) << TestBench::node({}, {}) << false;
}

void TestSendLoop::nodeMatching()
{
    QFETCH(Halvik::Node, underTest);
    QFETCH(Halvik::Node, other);
    QFETCH(bool, matches);
    std::unique_ptr<TestBench> bench = runningBench();
    bench->select(underTest);

    bench->indicate(other, DeviceProfile, 0x8001, 200, -60);
    bench->confirmLast();
    QCOMPARE(bench->text("rssiLineEdit"), matches ? "-60" : "0");
    QCOMPARE(bench->text("lqiLineEdit"), matches ? "200" : "0");

    bench->remove(other);
    QCOMPARE(bench->sendTimer()->isActive(), !matches);
    QCOMPARE(bench->text("statusLabel"), matches ? "Stopped" : "Send 1 packets");
}

void TestSendLoop::deletedDialogStopsTheTest()
{
    QFETCH_GLOBAL(QString, path);
    std::unique_ptr<TestBench> bench = runningBench();
    delete bench->dialog();
    QVERIFY(!bench->sendTimer()->isActive());
    bench->tick();
    bench->confirmLast();
    QCOMPARE(bench->requests.size(), 1);

    // The node under test leaves while there is no dialog; a new test no longer follows it.
    bench->remove(nodeUnderTest);
    bench->click("startButton");
    bench->indicate(nodeUnderTest, DeviceProfile, 0x8001, 200, -60);
    // The monitor needs a node to start at all; the signal test broadcasts without one.
    const bool broadcasts = path == ONDREL_PLUGIN_PATH;
    QCOMPARE(bench->requests.size(), broadcasts ? 2 : 1);
    QCOMPARE(bench->sendTimer()->isActive(), broadcasts);
    if (broadcasts)
        bench->confirmLast();
    QCOMPARE(bench->text("rssiLineEdit"), "0");
}

// A host that runs its events inside apsdeDataRequest and stops the test there, by deleting the
// window among other ways: the test stops as it does elsewhere, with no timer left running. Each
// row runs in a child process, where a crash fails the row alone.
void TestSendLoop::stopInsideARequest_data()
{
    QTest::addColumn<QString>("sentBy");
    QTest::addColumn<QString>("hostEvent");
    QTest::newRow("window deleted inside the first request") << "start"
                                                             << "delete window";
    QTest::newRow("window deleted inside a tick's request") << "tick"
                                                            << "delete window";
    QTest::newRow("window deleted inside a confirm's request") << "confirm"
                                                               << "delete window";
    QTest::newRow("node removed inside the first request") << "start"
                                                           << "remove node";
    QTest::newRow("Stop pressed inside the first request") << "start"
                                                           << "press Stop";
}

void TestSendLoop::stopInsideARequest()
{
    QFETCH_GLOBAL(QString, path);
    QFETCH(QString, sentBy);
    QFETCH(QString, hostEvent);
    if (!TestBench::inChildProcess(path))
        return;
    std::unique_ptr<TestBench> bench = openBench();
    if (sentBy == "tick") {
        bench->click("startButton");
        bench->confirmLast();
    } else if (sentBy == "confirm") {
        bench->click("startButton");
        bench->tick();
    }
    bool happened = false;
    bench->duringRequest = [&bench, &happened, hostEvent] {
        if (happened)
            return;
        happened = true;
        if (hostEvent == "delete window")
            delete bench->dialog();
        else if (hostEvent == "remove node")
            bench->remove(nodeUnderTest);
        else
            bench->click("stopButton");
    };

    if (sentBy == "start")
        bench->click("startButton");
    else if (sentBy == "tick")
        bench->tick();
    else
        bench->confirmLast();
    QVERIFY(happened);
    QVERIFY(!bench->sendTimer()->isActive());
    const int sent = bench->requests.size();
    bench->tick();
    bench->confirmLast();
    QCOMPARE(bench->requests.size(), sent);
    if (hostEvent != "delete window")
        QCOMPARE(bench->text("statusLabel"), "Stopped");
}

// A host that runs its events inside apsdeDataRequest, Stop among them or a restart that sends
// (Stop, Start and a tick), and then refuses: the stop stands, and so does the wait for the
// restart's accepted request.
void TestSendLoop::stopAndRestartDuringARefusedRequestStand()
{
    std::unique_ptr<TestBench> bench = runningBench();
    bench->confirmLast();
    bench->result = -1;
    bench->duringRequest = [&bench] { bench->remove(nodeUnderTest); };
    bench->tick();
    QCOMPARE(bench->text("statusLabel"), "Stopped");
    QVERIFY(!bench->sendTimer()->isActive());

    bench->duringRequest = nullptr;
    bench->result = 0;
    bench->select(nodeUnderTest);
    const int sentBefore = bench->requests.size();
    bench->click("startButton");
    QCOMPARE(bench->requests.size(), sentBefore + 1);

    bench->confirmLast();
    bench->result = -1;
    bool restarted = false;
    bench->duringRequest = [&bench, &restarted] {
        if (restarted)
            return;
        restarted = true;
        bench->click("stopButton");
        bench->result = 0;
        bench->click("startButton");
        bench->tick();
        bench->result = -1;
    };
    bench->tick();
    // The restart's request was recorded first, then the refused one, unchanged.
    QCOMPARE(bench->requests.size(), sentBefore + 3);
    const quint8 restartId = bench->requests[sentBefore + 1].id();
    QVERIFY(bench->requests[sentBefore + 2].id() != restartId);

    bench->duringRequest = nullptr;
    bench->result = 0;
    bench->tick();
    QCOMPARE(bench->requests.size(), sentBefore + 3);
    bench->confirm(restartId);
    QCOMPARE(bench->requests.size(), sentBefore + 4);
}

// A host that runs its events inside apsdeDataRequest, a tick among them, and then refuses.
void TestSendLoop::tickDuringARefusedRequestLeavesNothingWaiting()
{
    std::unique_ptr<TestBench> bench = runningBench();
    bench->confirmLast();
    bench->result = -1;
    bench->duringRequest = [&bench] { bench->tick(); };
    bench->tick();
    QCOMPARE(bench->requests.size(), 2);

    bench->duringRequest = nullptr;
    bench->result = 0;
    bench->tick();
    QCOMPARE(bench->requests.size(), 3);
}

void TestSendLoop::startWithoutDialogIsIgnored()
{
    QFETCH_GLOBAL(QString, path);
    TestBench bench(path);
    QVERIFY(QMetaObject::invokeMethod(bench.plugin(), "startSending"));
    QVERIFY(QMetaObject::invokeMethod(bench.plugin(), "sendTimerFired"));
    QVERIFY(bench.requests.isEmpty());
    QVERIFY(!bench.sendTimer()->isActive());
}

QTEST_MAIN(TestSendLoop)
#include "tst_sendloop.moc"

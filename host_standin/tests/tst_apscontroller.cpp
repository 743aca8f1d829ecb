#include <halvik.h>

#include <QThread>
#include <QtTest>

using namespace Halvik;

namespace {

class RecordingHost : public ApsController
{
public:
    int apsdeDataRequest(const ApsDataRequest &req) override
    {
        lastRequestId = req.id();
        return 0;
    }
    QString stringParameter(int parameter) override { return QString::number(parameter); }

    int lastRequestId = -1;
};

// Receives in the thread it lives in, recording where each delivery ran.
class Receiver : public QObject
{
    Q_OBJECT

public slots:
    void apsdeDataIndication(const Halvik::ApsDataIndication &ind)
    {
        indication = ind;
        thread = QThread::currentThread();
    }
    void nodeEvent(const Halvik::NodeEvent &event)
    {
        nodeEvents << event;
        thread = QThread::currentThread();
    }

public:
    ApsDataIndication indication;
    QList<NodeEvent> nodeEvents;
    QThread *thread = nullptr;
};

} // namespace

class TestApsController : public QObject
{
    Q_OBJECT

private slots:
    void instanceFollowsLifeCycle();
    void baseRefusesAndHasNoParameters();
    void overridesAreReachedThroughTheBase();
    void signalsCrossThreadsWithRecordsIntact();
};

void TestApsController::instanceFollowsLifeCycle()
{
    QVERIFY(!ApsController::instance());
    auto first = std::make_unique<ApsController>();
    QCOMPARE(ApsController::instance(), first.get());

    auto second = std::make_unique<ApsController>();
    QCOMPARE(ApsController::instance(), second.get());
    first.reset();
    QCOMPARE(ApsController::instance(), second.get());

    second.reset();
    QVERIFY(!ApsController::instance());
}

void TestApsController::baseRefusesAndHasNoParameters()
{
    ApsController controller;
    QVERIFY(controller.apsdeDataRequest(ApsDataRequest()) != 0);
    QVERIFY(controller.stringParameter(ApsController::WebAppDirectory).isEmpty());
}

void TestApsController::overridesAreReachedThroughTheBase()
{
    RecordingHost host;
    ApsController *controller = ApsController::instance();
    const ApsDataRequest req;
    QCOMPARE(controller->apsdeDataRequest(req), 0);
    QCOMPARE(host.lastRequestId, int(req.id()));
    QCOMPARE(controller->stringParameter(1), QStringLiteral("1"));
}

void TestApsController::signalsCrossThreadsWithRecordsIntact()
{
    ApsController controller;
    Receiver receiver;
    QVERIFY(connect(&controller, SIGNAL(apsdeDataIndication(Halvik::ApsDataIndication)), &receiver,
                    SLOT(apsdeDataIndication(Halvik::ApsDataIndication))));
    QVERIFY(connect(&controller, SIGNAL(nodeEvent(Halvik::NodeEvent)), &receiver,
                    SLOT(nodeEvent(Halvik::NodeEvent))));

    QThread *emitter = QThread::create([&controller] {
        Address source;
        source.setExt(0x00124b00aabbccddULL);
        ApsDataIndication ind;
        ind.setProfileId(0x0104);
        ind.setClusterId(0x8001);
        ind.setSrcAddress(source);
        ind.setLinkQuality(255);
        ind.setRssi(-60);
        emit controller.apsdeDataIndication(ind);

        // The host's node is gone before the queued event is delivered.
        Node node;
        node.setAddress(source);
        emit controller.nodeEvent(NodeEvent(NodeEvent::NodeRemoved, &node));
    });
    emitter->start();
    QVERIFY(emitter->wait(5000));
    delete emitter;
    QVERIFY(!receiver.thread); // queued, not yet delivered

    QTRY_COMPARE(receiver.nodeEvents.size(), 1);
    QCOMPARE(receiver.thread, QThread::currentThread());
    QCOMPARE(receiver.indication.profileId(), quint16(0x0104));
    QCOMPARE(receiver.indication.clusterId(), quint16(0x8001));
    QCOMPARE(receiver.indication.srcAddress().ext(), 0x00124b00aabbccddULL);
    QCOMPARE(receiver.indication.linkQuality(), quint8(255));
    QCOMPARE(receiver.indication.rssi(), qint8(-60));
    const NodeEvent &event = receiver.nodeEvents.first();
    QCOMPARE(event.event(), int(NodeEvent::NodeRemoved));
    QVERIFY(event.node());
    QCOMPARE(event.node()->address().ext(), 0x00124b00aabbccddULL);
}

QTEST_GUILESS_MAIN(TestApsController)
#include "tst_apscontroller.moc"

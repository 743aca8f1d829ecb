#include <halvik.h>

#include <QtTest>

using namespace Halvik;

// Plug-ins are compiled against these handles; their size must not change with the data.
static_assert(sizeof(Address) == sizeof(void *), "Address is one pointer");
static_assert(sizeof(Node) == sizeof(void *), "Node is one pointer");
static_assert(sizeof(NodeEvent) == sizeof(void *), "NodeEvent is one pointer");
static_assert(sizeof(ApsDataRequest) == sizeof(void *), "ApsDataRequest is one pointer");
static_assert(sizeof(ApsDataIndication) == sizeof(void *), "ApsDataIndication is one pointer");
static_assert(sizeof(ApsDataConfirm) == sizeof(void *), "ApsDataConfirm is one pointer");
static_assert(sizeof(ZclFrame) == sizeof(void *), "ZclFrame is one pointer");

class TestRecords : public QObject
{
    Q_OBJECT

private slots:
    void requestIdsAdvancePerConstructionAndWrap();
    void requestCopiesKeepTheirId();
    void requestDefaults();
    void requestCopiesAreIndependent();
    void nodeEventOwnsItsNode();
    void nodeEventWithoutNode();
};

void TestRecords::requestIdsAdvancePerConstructionAndWrap()
{
    const ApsDataRequest first;
    quint8 previous = first.id();
    for (int i = 0; i < 300; ++i) {
        const ApsDataRequest next;
        QCOMPARE(next.id(), quint8(previous + 1));
        previous = next.id();
    }
}

void TestRecords::requestCopiesKeepTheirId()
{
    const ApsDataRequest original;
    const ApsDataRequest copy(original);
    QCOMPARE(copy.id(), original.id());

    ApsDataRequest assigned;
    assigned = original;
    QCOMPARE(assigned.id(), original.id());

    // Replacing a request with a fresh one is how a sender gets a new id.
    assigned = ApsDataRequest();
    QCOMPARE(assigned.id(), quint8(original.id() + 2));
}

void TestRecords::requestDefaults()
{
    const ApsDataRequest req;
    QCOMPARE(req.state(), IdleState);
    QCOMPARE(int(req.state()), 0);
    QCOMPARE(int(FireAndForgetState), 7);
    QCOMPARE(req.dstAddressMode(), ApsNoAddress);
    QVERIFY(!req.dstAddress().hasNwk());
    QVERIFY(req.asdu().isEmpty());
}

void TestRecords::requestCopiesAreIndependent()
{
    ApsDataRequest original;
    original.dstAddress().setNwk(0x1234);
    QByteArray &asdu = original.asdu();
    asdu = "ab";

    const ApsDataRequest copy(original);
    // Writing through a reference taken before the copy must only change the original.
    asdu.append('c');
    original.dstAddress().setNwk(0xFFFC);

    QCOMPARE(copy.asdu(), QByteArray("ab"));
    QCOMPARE(copy.dstAddress().nwk(), quint16(0x1234));
    QCOMPARE(original.asdu(), QByteArray("abc"));
}

void TestRecords::nodeEventOwnsItsNode()
{
    auto node = std::make_unique<Node>();
    Address address;
    address.setExt(0x00124b0001020304ULL);
    node->setAddress(address);

    const NodeEvent event(NodeEvent::NodeRemoved, node.get());
    const NodeEvent copy = event;
    node.reset();

    QCOMPARE(copy.event(), int(NodeEvent::NodeRemoved));
    QVERIFY(copy.node());
    QCOMPARE(copy.node()->address().ext(), 0x00124b0001020304ULL);
    QVERIFY(event.node() != copy.node());
}

void TestRecords::nodeEventWithoutNode()
{
    const NodeEvent event(NodeEvent::NodeSelected, nullptr);
    QCOMPARE(event.event(), int(NodeEvent::NodeSelected));
    QVERIFY(!event.node());
    QVERIFY(!NodeEvent(event).node());
    QVERIFY(!NodeEvent().node());
}

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"

#include "simnetwork.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

Q_DECLARE_METATYPE(Halvik::ApsAddressMode)

namespace {

const quint16 ZclProfile = 0x0104;
const quint16 OnOffCluster = 0x0006;

Halvik::ApsDataRequest request(Halvik::ApsAddressMode mode, quint64 address,
                               quint16 profile = SimNetwork::ZdpProfile,
                               quint16 cluster = SimNetwork::IeeeAddressRequestCluster)
{
    Halvik::ApsDataRequest req;
    req.setDstAddressMode(mode);
    if (mode == Halvik::ApsExtAddress)
        req.dstAddress().setExt(address);
    else if (mode == Halvik::ApsGroupAddress)
        req.dstAddress().setGroup(quint16(address));
    else if (mode == Halvik::ApsNwkAddress)
        req.dstAddress().setNwk(quint16(address));
    req.setProfileId(profile);
    req.setClusterId(cluster);
    return req;
}

Halvik::ApsDataConfirm confirmAt(const QSignalSpy &spy, int index)
{
    return spy.at(index).at(0).value<Halvik::ApsDataConfirm>();
}

Halvik::ApsDataIndication indicationAt(const QSignalSpy &spy, int index)
{
    return spy.at(index).at(0).value<Halvik::ApsDataIndication>();
}

// (source, RSSI, LQI) of every indication, for comparing runs.
QList<QList<qint64>> figures(const QSignalSpy &spy)
{
    QList<QList<qint64>> all;
    for (int index = 0; index < spy.count(); ++index) {
        const Halvik::ApsDataIndication ind = indicationAt(spy, index);
        all << QList<qint64>{qint64(ind.srcAddress().ext()), ind.rssi(), ind.linkQuality()};
    }
    return all;
}

QList<QList<qint64>> reportFigures(quint32 seed, int reports)
{
    SimNetwork network(seed);
    network.setReportInterval(0);
    QSignalSpy indications(&network, &SimNetwork::apsdeDataIndication);
    for (int report = 0; report < reports; ++report)
        network.sendNextReport();
    return figures(indications);
}

QList<int> deliveryStatuses(quint32 seed, int requests)
{
    SimNetwork network(seed);
    network.setReportInterval(0);
    network.setLatency(0);
    network.setSuccessRate(50);
    QSignalSpy confirms(&network, &SimNetwork::apsdeDataConfirm);
    for (int count = 0; count < requests; ++count)
        network.apsdeDataRequest(request(Halvik::ApsNwkAddress, 0xFFFC));
    if (!QTest::qWaitFor([&] { return confirms.count() == requests; }))
        return {};
    QList<int> statuses;
    for (int index = 0; index < requests; ++index)
        statuses << confirmAt(confirms, index).status();
    return statuses;
}

} // namespace

class TestSimNetwork : public QObject
{
    Q_OBJECT

private slots:
    void confirmFollowsAfterLatency_data();
    void confirmFollowsAfterLatency();
    void successRateDecidesStatus_data();
    void successRateDecidesStatus();
    void destinations_data();
    void destinations();
    void refusesRequestWithoutDestination();
    void removedNodeNeitherAnswersNorReports();
    void nodeEvents();
    void reportsComeFromEveryNodeWithinRange();
    void seedDecidesFigures();
};

void TestSimNetwork::confirmFollowsAfterLatency_data()
{
    QTest::addColumn<int>("latency");
    QTest::newRow("none") << 0;
    QTest::newRow("default") << 30;
    QTest::newRow("slow") << 150;
}

void TestSimNetwork::confirmFollowsAfterLatency()
{
    QFETCH(int, latency);
    SimNetwork network(1);
    network.setReportInterval(0);
    network.setSuccessRate(100);
    network.setLatency(latency);
    QSignalSpy confirms(&network, &SimNetwork::apsdeDataConfirm);

    const Halvik::ApsDataRequest req = request(Halvik::ApsNwkAddress, 0xFFFC);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(network.apsdeDataRequest(req), 0);
    // Never from inside the request call, whatever the latency.
    QCOMPARE(confirms.count(), 0);

    QVERIFY(confirms.wait(latency + 2000));
    QVERIFY2(clock.elapsed() >= latency, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(confirms.count(), 1);
    QCOMPARE(confirmAt(confirms, 0).id(), req.id());
    QCOMPARE(confirmAt(confirms, 0).status(), quint8(SimNetwork::Success));
    QCOMPARE(network.requestsReceived(), 1);
    QCOMPARE(network.confirmsSent(), 1);
}

void TestSimNetwork::successRateDecidesStatus_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("fewestSuccesses");
    QTest::addColumn<int>("mostSuccesses");
    QTest::newRow("never") << 0 << 0 << 0;
    QTest::newRow("half") << 50 << 130 << 270;
    QTest::newRow("default") << 90 << 330 << 390;
    QTest::newRow("always") << 100 << 400 << 400;
}

void TestSimNetwork::successRateDecidesStatus()
{
    QFETCH(int, rate);
    QFETCH(int, fewestSuccesses);
    QFETCH(int, mostSuccesses);
    const int requests = 400;
    SimNetwork network(7);
    network.setReportInterval(0);
    network.setLatency(0);
    network.setSuccessRate(rate);
    QSignalSpy confirms(&network, &SimNetwork::apsdeDataConfirm);

    for (int count = 0; count < requests; ++count)
        QCOMPARE(network.apsdeDataRequest(request(Halvik::ApsGroupAddress, 0x10)), 0);
    QTRY_COMPARE(confirms.count(), requests);

    int successes = 0;
    for (int index = 0; index < requests; ++index) {
        const quint8 status = confirmAt(confirms, index).status();
        QVERIFY(status == SimNetwork::Success || status == SimNetwork::ChannelAccessFailure);
        successes += status == SimNetwork::Success;
    }
    QVERIFY2(successes >= fewestSuccesses && successes <= mostSuccesses,
             qPrintable(QString::number(successes)));
    QCOMPARE(network.successfulConfirms(), successes);
}

void TestSimNetwork::destinations_data()
{
    QTest::addColumn<Halvik::ApsAddressMode>("mode");
    QTest::addColumn<quint64>("address");
    QTest::addColumn<quint16>("profile");
    QTest::addColumn<quint16>("cluster");
    QTest::addColumn<int>("status");
    QTest::addColumn<quint64>("answerFrom"); // 0: no answer

    const int success = SimNetwork::Success;
    const quint64 none = 0;
    const quint16 zdp = SimNetwork::ZdpProfile;
    const quint16 ieee = SimNetwork::IeeeAddressRequestCluster;
    QTest::newRow("IEEE request to a node's nwk") << Halvik::ApsNwkAddress << quint64(0x7c04) << zdp
                                                  << ieee << success << quint64(0x00212effff051a03);
    QTest::newRow("IEEE request to a node's ext")
        << Halvik::ApsExtAddress << quint64(0x00212effff051a05) << zdp << ieee << success
        << quint64(0x00212effff051a05);
    QTest::newRow("other ZDP request to a node")
        << Halvik::ApsNwkAddress << quint64(0x7c04) << zdp << quint16(0x0002) << success << none;
    QTest::newRow("ZCL command to a node") << Halvik::ApsNwkAddress << quint64(0x1f3a) << ZclProfile
                                           << OnOffCluster << success << none;
    QTest::newRow("unknown nwk") << Halvik::ApsNwkAddress << quint64(0x4444) << zdp << ieee
                                 << int(SimNetwork::NoAck) << none;
    QTest::newRow("unknown ext") << Halvik::ApsExtAddress << quint64(0x1234) << zdp << ieee
                                 << int(SimNetwork::NoAck) << none;
    QTest::newRow("broadcast") << Halvik::ApsNwkAddress << quint64(0xFFFD) << zdp << ieee << success
                               << none;
    QTest::newRow("group") << Halvik::ApsGroupAddress << quint64(0x0001) << ZclProfile
                           << OnOffCluster << success << none;
}

void TestSimNetwork::destinations()
{
    QFETCH(Halvik::ApsAddressMode, mode);
    QFETCH(quint64, address);
    QFETCH(quint16, profile);
    QFETCH(quint16, cluster);
    QFETCH(int, status);
    QFETCH(quint64, answerFrom);
    SimNetwork network(3);
    network.setReportInterval(0);
    network.setSuccessRate(100);
    network.setLatency(10);
    QSignalSpy confirms(&network, &SimNetwork::apsdeDataConfirm);
    QSignalSpy indications(&network, &SimNetwork::apsdeDataIndication);

    const Halvik::ApsDataRequest req = request(mode, address, profile, cluster);
    QCOMPARE(network.apsdeDataRequest(req), 0);
    QVERIFY(confirms.wait(1000));
    QCOMPARE(confirmAt(confirms, 0).id(), req.id());
    QCOMPARE(int(confirmAt(confirms, 0).status()), status);
    // The answer comes after the confirm, not with it.
    QCOMPARE(indications.count(), 0);

    QTest::qWait(100);
    QCOMPARE(indications.count(), answerFrom ? 1 : 0);
    if (answerFrom) {
        const Halvik::ApsDataIndication ind = indicationAt(indications, 0);
        QCOMPARE(ind.profileId(), SimNetwork::ZdpProfile);
        QCOMPARE(ind.clusterId(), SimNetwork::IeeeAddressResponseCluster);
        QCOMPARE(ind.srcAddress().ext(), answerFrom);
        QVERIFY(ind.srcAddress().hasNwk());
    }
}

void TestSimNetwork::refusesRequestWithoutDestination()
{
    SimNetwork network(1);
    network.setReportInterval(0);
    network.setLatency(0);
    QSignalSpy confirms(&network, &SimNetwork::apsdeDataConfirm);

    QVERIFY(network.apsdeDataRequest(request(Halvik::ApsNoAddress, 0)) != 0);
    QTest::qWait(50);
    QCOMPARE(confirms.count(), 0);
    QCOMPARE(network.requestsReceived(), 1);
}

void TestSimNetwork::removedNodeNeitherAnswersNorReports()
{
    SimNetwork network(1);
    network.setReportInterval(0);
    network.setSuccessRate(100);
    network.setLatency(20);
    QSignalSpy confirms(&network, &SimNetwork::apsdeDataConfirm);
    QSignalSpy indications(&network, &SimNetwork::apsdeDataIndication);
    const Halvik::Node second = network.nodes().at(1);

    // Removed while its answer is on the way: the accepted request is still confirmed.
    network.apsdeDataRequest(request(Halvik::ApsNwkAddress, second.address().nwk()));
    network.removeNode(1);
    QTest::qWait(150);
    QCOMPARE(confirms.count(), 1);
    QCOMPARE(confirmAt(confirms, 0).status(), quint8(SimNetwork::Success));
    QCOMPARE(indications.count(), 0);

    network.apsdeDataRequest(request(Halvik::ApsNwkAddress, second.address().nwk()));
    QVERIFY(confirms.wait(1000));
    QCOMPARE(confirmAt(confirms, 1).status(), quint8(SimNetwork::NoAck));

    for (int slot = 0; slot < SimNetwork::RosterSize; ++slot)
        network.sendNextReport();
    QCOMPARE(indications.count(), SimNetwork::RosterSize - 1);
    for (int index = 0; index < indications.count(); ++index)
        QVERIFY(indicationAt(indications, index).srcAddress().ext() != second.address().ext());
}

void TestSimNetwork::nodeEvents()
{
    SimNetwork network(1);
    network.setReportInterval(0);
    QSignalSpy events(&network, &SimNetwork::nodeEvent);
    const QList<Halvik::Node> roster = network.nodes();
    QCOMPARE(roster.size(), SimNetwork::RosterSize);

    network.selectNode(2);
    QCOMPARE(events.count(), 1);
    Halvik::NodeEvent event = events.at(0).at(0).value<Halvik::NodeEvent>();
    QCOMPARE(event.event(), int(Halvik::NodeEvent::NodeSelected));
    QVERIFY(event.node());
    QCOMPARE(event.node()->address().ext(), roster.at(2).address().ext());
    QCOMPARE(event.node()->address().nwk(), roster.at(2).address().nwk());
    network.resendSelection();
    QCOMPARE(events.count(), 2);
    event = events.at(1).at(0).value<Halvik::NodeEvent>();
    QCOMPARE(event.event(), int(Halvik::NodeEvent::NodeSelected));
    QCOMPARE(event.node()->address().ext(), roster.at(2).address().ext());
    events.clear();

    network.removeNode(2);
    QCOMPARE(events.count(), 1);
    network.resendSelection();
    QCOMPARE(events.count(), 1);
    event = events.at(0).at(0).value<Halvik::NodeEvent>();
    QCOMPARE(event.event(), int(Halvik::NodeEvent::NodeRemoved));
    QCOMPARE(event.node()->address().ext(), roster.at(2).address().ext());
    QCOMPARE(network.nodes().size(), SimNetwork::RosterSize - 1);
    // The list closes up: index 2 is now the roster's fourth node.
    QCOMPARE(network.nodes().at(2).address().ext(), roster.at(3).address().ext());

    network.selectNode(SimNetwork::RosterSize - 1);
    network.removeNode(-1);
    QCOMPARE(events.count(), 1);

    QVERIFY(network.addNode());
    QCOMPARE(network.nodes().size(), SimNetwork::RosterSize);
    QCOMPARE(network.nodes().at(2).address().ext(), roster.at(2).address().ext());
    QVERIFY(!network.addNode());
}

void TestSimNetwork::reportsComeFromEveryNodeWithinRange()
{
    const int rounds = 40;
    SimNetwork network(11);
    network.setReportInterval(0);
    QSignalSpy indications(&network, &SimNetwork::apsdeDataIndication);
    for (int report = 0; report < rounds * SimNetwork::RosterSize; ++report)
        network.sendNextReport();

    QCOMPARE(indications.count(), rounds * SimNetwork::RosterSize);
    QHash<quint64, QSet<int>> rssisByNode;
    for (int index = 0; index < indications.count(); ++index) {
        const Halvik::ApsDataIndication ind = indicationAt(indications, index);
        QCOMPARE(ind.profileId(), SimNetwork::ZdpProfile);
        QCOMPARE(ind.clusterId(), SimNetwork::MgmtLqiResponseCluster);
        QVERIFY(ind.rssi() >= SimNetwork::MinRssi && ind.rssi() <= SimNetwork::MaxRssi);
        QVERIFY(ind.linkQuality() >= SimNetwork::MinLqi);
        rssisByNode[ind.srcAddress().ext()] << ind.rssi();
    }
    QCOMPARE(rssisByNode.size(), SimNetwork::RosterSize);
    for (const QSet<int> &rssis : rssisByNode)
        QVERIFY2(rssis.size() > 1, "a node's RSSI should vary");
    QCOMPARE(network.indicationsSent(), indications.count());
}

void TestSimNetwork::seedDecidesFigures()
{
    const int reports = 60;
    QCOMPARE(reportFigures(42, reports), reportFigures(42, reports));
    QVERIFY(reportFigures(42, reports) != reportFigures(43, reports));
    const QList<int> statuses = deliveryStatuses(42, reports);
    QCOMPARE(statuses.size(), reports);
    QCOMPARE(deliveryStatuses(42, reports), statuses);
    QVERIFY(deliveryStatuses(43, reports) != statuses);
}

QTEST_GUILESS_MAIN(TestSimNetwork)
#include "tst_simnetwork.moc"

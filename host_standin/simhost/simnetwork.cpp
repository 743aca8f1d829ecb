#include "simnetwork.h"

#include <algorithm>

namespace {

struct RosterEntry
{
    quint64 ext;
    quint16 nwk;
};

const RosterEntry Roster[SimNetwork::RosterSize] = {
    {0x00212effff051a01, 0x1f3a}, {0x00212effff051a02, 0x5b21}, {0x00212effff051a03, 0x7c04},
    {0x00212effff051a04, 0x9e6d}, {0x00212effff051a05, 0xc2b8},
};

// A node's frames stay within this many dB of its base level.
const int RssiSpread = 6;
const int LqiSpread = 8;
const int DefaultReportInterval = 1000;

int draw(std::mt19937 &generator, int low, int high)
{
    return std::uniform_int_distribution<int>(low, high)(generator);
}

} // namespace

SimNetwork::SimNetwork(quint32 seed, QObject *parent)
    : Halvik::ApsController(parent), randomSeed(seed), roster(RosterSize)
{
    for (int index = 0; index < RosterSize; ++index) {
        SimNode &simNode = roster[index];
        Halvik::Address address;
        address.setExt(Roster[index].ext);
        address.setNwk(Roster[index].nwk);
        simNode.node.setAddress(address);
        std::seed_seq radioSeed{seed, quint32(index)};
        simNode.radio.seed(radioSeed);
        simNode.baseRssi = draw(simNode.radio, MinRssi + RssiSpread, MaxRssi - RssiSpread);
    }
    std::seed_seq deliverySeed{seed, quint32(RosterSize)};
    delivery.seed(deliverySeed);

    connect(&reportTimer, &QTimer::timeout, this, &SimNetwork::sendNextReport);
    setReportInterval(DefaultReportInterval);
}

int SimNetwork::apsdeDataRequest(const Halvik::ApsDataRequest &req)
{
    ++requests;
    emit figuresChanged();
    if (req.dstAddressMode() == Halvik::ApsNoAddress)
        return -1;

    const bool unicast =
        req.dstAddressMode() == Halvik::ApsExtAddress ||
        (req.dstAddressMode() == Halvik::ApsNwkAddress && req.dstAddress().isNwkUnicast());
    const SimNode *target = unicast ? findNode(req) : nullptr;
    quint8 status = Success;
    if (unicast && !target)
        status = NoAck;
    else if (!delivered())
        status = ChannelAccessFailure;

    const bool answers = status == Success && target && req.profileId() == ZdpProfile &&
                         req.clusterId() == IeeeAddressRequestCluster;
    const quint64 answerFrom = answers ? target->node.address().ext() : 0;
    const quint8 id = req.id();
    // Even with no latency the confirm comes from the event loop: a plug-in marks its request
    // as awaiting the confirm only after this call returns.
    QTimer::singleShot(latencyMs, this, [this, id, status, answers, answerFrom] {
        confirm(id, status);
        // The answer makes the round trip back from the node after the confirm.
        if (answers)
            QTimer::singleShot(latencyMs, this,
                               [this, answerFrom] { answerIeeeAddressRequest(answerFrom); });
    });
    return 0;
}

QString SimNetwork::stringParameter(int parameter)
{
    return parameter == WebAppDirectory ? webAppDirectory : QString();
}

void SimNetwork::setWebAppDirectory(const QString &directory)
{
    webAppDirectory = directory;
}

void SimNetwork::setLatency(int milliseconds)
{
    latencyMs = std::max(0, milliseconds);
}

void SimNetwork::setSuccessRate(int percent)
{
    successPercent = std::clamp(percent, 0, 100);
}

void SimNetwork::setReportInterval(int milliseconds)
{
    if (milliseconds <= 0) {
        reportTimer.stop();
        return;
    }
    reportTimer.start(std::max(1, milliseconds / RosterSize));
}

QList<Halvik::Node> SimNetwork::nodes() const
{
    QList<Halvik::Node> present;
    for (const SimNode &simNode : roster) {
        if (simNode.present)
            present << simNode.node;
    }
    return present;
}

void SimNetwork::selectNode(int index)
{
    if (const SimNode *simNode = presentNode(index)) {
        selectedSlot = int(simNode - roster.constData());
        resendSelection();
    }
}

void SimNetwork::resendSelection()
{
    if (selectedSlot >= 0)
        emit nodeEvent(
            Halvik::NodeEvent(Halvik::NodeEvent::NodeSelected, &roster.at(selectedSlot).node));
}

void SimNetwork::removeNode(int index)
{
    SimNode *simNode = presentNode(index);
    if (!simNode)
        return;
    simNode->present = false;
    if (simNode - roster.constData() == selectedSlot)
        selectedSlot = -1;
    emit nodeEvent(Halvik::NodeEvent(Halvik::NodeEvent::NodeRemoved, &simNode->node));
}

bool SimNetwork::addNode()
{
    for (SimNode &simNode : roster) {
        if (!simNode.present) {
            simNode.present = true;
            return true;
        }
    }
    return false;
}

void SimNetwork::sendNextReport()
{
    SimNode &simNode = roster[nextReportSlot];
    nextReportSlot = (nextReportSlot + 1) % RosterSize;
    if (simNode.present)
        sendFrame(simNode, MgmtLqiResponseCluster);
}

SimNetwork::SimNode *SimNetwork::presentNode(int index)
{
    for (SimNode &simNode : roster) {
        if (simNode.present && index-- == 0)
            return &simNode;
    }
    return nullptr;
}

SimNetwork::SimNode *SimNetwork::findNode(const Halvik::ApsDataRequest &req)
{
    const Halvik::Address &dst = req.dstAddress();
    for (SimNode &simNode : roster) {
        const Halvik::Address &address = simNode.node.address();
        const bool matches = req.dstAddressMode() == Halvik::ApsExtAddress
                                 ? dst.hasExt() && dst.ext() == address.ext()
                                 : dst.nwk() == address.nwk();
        if (simNode.present && matches)
            return &simNode;
    }
    return nullptr;
}

bool SimNetwork::delivered()
{
    return draw(delivery, 0, 99) < successPercent;
}

void SimNetwork::confirm(quint8 id, quint8 status)
{
    Halvik::ApsDataConfirm conf;
    conf.setId(id);
    conf.setStatus(status);
    ++confirms;
    if (status == Success)
        ++successes;
    emit figuresChanged();
    emit apsdeDataConfirm(conf);
}

void SimNetwork::answerIeeeAddressRequest(quint64 ext)
{
    // The node may have left while its answer was on its way.
    for (SimNode &simNode : roster) {
        if (simNode.present && simNode.node.address().ext() == ext)
            sendFrame(simNode, IeeeAddressResponseCluster);
    }
}

void SimNetwork::sendFrame(SimNode &from, quint16 cluster)
{
    const int rssi =
        std::clamp(from.baseRssi + draw(from.radio, -RssiSpread, RssiSpread), MinRssi, MaxRssi);
    // Link quality follows the signal level across its whole range, with some noise.
    const int lqiForRssi = MinLqi + (rssi - MinRssi) * (MaxLqi - MinLqi) / (MaxRssi - MinRssi);
    const int lqi =
        std::clamp(lqiForRssi + draw(from.radio, -LqiSpread, LqiSpread), MinLqi, MaxLqi);

    Halvik::ApsDataIndication ind;
    ind.setProfileId(ZdpProfile);
    ind.setClusterId(cluster);
    ind.setSrcAddress(from.node.address());
    ind.setRssi(qint8(rssi));
    ind.setLinkQuality(quint8(lqi));
    ++indications;
    emit figuresChanged();
    emit apsdeDataIndication(ind);
}

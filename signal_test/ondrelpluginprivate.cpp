#include "ondrelpluginprivate.h"

#include "ondreldialog.h"

#include <QDataStream>
#include <QRandomGenerator>

namespace {

const quint16 HomeAutomationProfile = 0x0104;
const quint16 OnOffCluster = 0x0006;
const quint8 TestEndpoint = 0x10;
const quint8 OwnEndpoint = 0x01;

// Cluster-specific, client to server, default response disabled.
const quint8 FrameControl = 0x11;
const quint8 OnWithTimedOffCommand = 0x42;
// Written as a signed byte: 0x80.
const qint8 OnOffControl = -128;
const qint16 OnTimeTenthsOfSecond = 1200;
const qint16 OffWaitTime = 0;

Halvik::ZclFrame onWithTimedOffFrame()
{
    Halvik::ZclFrame frame;
    frame.setCommandId(OnWithTimedOffCommand);
    frame.setSequenceNumber(quint8(QRandomGenerator::global()->generate()));
    frame.setFrameControl(FrameControl);

    QDataStream payload(&frame.payload(), QIODevice::WriteOnly);
    payload.setByteOrder(QDataStream::LittleEndian);
    payload << OnOffControl << OnTimeTenthsOfSecond << OffWaitTime;
    return frame;
}

} // namespace

OndrelPluginPrivate::OndrelPluginPrivate(QObject *plugin) : SignalTestCore(plugin) {}

SignalTestDialog *OndrelPluginPrivate::newDialog() const
{
    return new OndrelDialog;
}

bool OndrelPluginPrivate::canStart() const
{
    // Broadcasts and groupcasts need no node, and unicast goes to 0xFFFE without one.
    return true;
}

bool OndrelPluginPrivate::buildRequest()
{
    // The destination is chosen in the dialog, which the host may have deleted meanwhile.
    auto *form = static_cast<OndrelDialog *>(dialog.data());
    if (!form)
        return false;

    apsReq.setDstAddressMode(form->addressMode());
    switch (apsReq.dstAddressMode()) {
    case Halvik::ApsNwkAddress:
        apsReq.dstAddress().setNwk(form->destinationAddress());
        if (!apsReq.dstAddress().isNwkUnicast())
            apsReq.setState(Halvik::FireAndForgetState);
        break;
    case Halvik::ApsGroupAddress:
        apsReq.dstAddress().setGroup(form->destinationAddress());
        apsReq.setState(Halvik::FireAndForgetState);
        break;
    default:
        return false;
    }

    form->setPacketCount(packetCount);
    form->updateStatus();

    apsReq.setProfileId(HomeAutomationProfile);
    apsReq.setClusterId(OnOffCluster);
    apsReq.setDstEndpoint(TestEndpoint);
    apsReq.setSrcEndpoint(OwnEndpoint);

    apsReq.asdu().clear();
    QDataStream asdu(&apsReq.asdu(), QIODevice::WriteOnly);
    asdu.setByteOrder(QDataStream::LittleEndian);
    onWithTimedOffFrame().writeToStream(asdu);
    return true;
}

bool OndrelPluginPrivate::counts(const Halvik::ApsDataConfirm &) const
{
    return true;
}

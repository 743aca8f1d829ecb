#include "kalsignalpluginprivate.h"

#include "kalsignaldialog.h"

#include <QDataStream>

namespace {

const quint16 DeviceProfile = 0x0000;
const quint16 IeeeAddressRequestCluster = 0x0001;
const quint8 DeviceObjectEndpoint = 0x00;
const quint8 OwnEndpoint = 0x01;
const quint8 SingleDeviceResponse = 0x00;
const quint8 StartIndex = 0x00;

} // namespace

KalSignalPluginPrivate::KalSignalPluginPrivate(QObject *plugin) : SignalTestCore(plugin) {}

SignalTestDialog *KalSignalPluginPrivate::newDialog() const
{
    return new KalSignalDialog;
}

bool KalSignalPluginPrivate::canStart() const
{
    return node.hasExt();
}

bool KalSignalPluginPrivate::buildRequest()
{
    apsReq.dstAddress() = node;
    apsReq.setDstAddressMode(Halvik::ApsNwkAddress);
    apsReq.setProfileId(DeviceProfile);
    apsReq.setClusterId(IeeeAddressRequestCluster);
    apsReq.setDstEndpoint(DeviceObjectEndpoint);
    apsReq.setSrcEndpoint(OwnEndpoint);

    // The request's id doubles as the transaction sequence number.
    QByteArray payload;
    QDataStream stream(&payload, QIODevice::WriteOnly);
    stream.setByteOrder(QDataStream::LittleEndian);
    stream << apsReq.id() << node.nwk() << SingleDeviceResponse << StartIndex;
    apsReq.setAsdu(payload);
    return true;
}

bool KalSignalPluginPrivate::counts(const Halvik::ApsDataConfirm &conf) const
{
    return conf.status() == 0;
}

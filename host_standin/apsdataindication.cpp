#include "apsdataindication.h"

namespace Halvik {

class ApsDataIndicationPrivate
{
public:
    quint16 profileId = 0;
    quint16 clusterId = 0;
    Address srcAddress;
    quint8 linkQuality = 0;
    qint8 rssi = 0;
};

ApsDataIndication::ApsDataIndication() : d(new ApsDataIndicationPrivate) {}

ApsDataIndication::ApsDataIndication(const ApsDataIndication &other)
    : d(new ApsDataIndicationPrivate(*other.d))
{
}

ApsDataIndication &ApsDataIndication::operator=(const ApsDataIndication &other)
{
    ApsDataIndication copy(other);
    swap(copy);
    return *this;
}

ApsDataIndication::~ApsDataIndication() = default;

quint16 ApsDataIndication::profileId() const
{
    return d->profileId;
}

void ApsDataIndication::setProfileId(quint16 profileId)
{
    d->profileId = profileId;
}

quint16 ApsDataIndication::clusterId() const
{
    return d->clusterId;
}

void ApsDataIndication::setClusterId(quint16 clusterId)
{
    d->clusterId = clusterId;
}

const Address &ApsDataIndication::srcAddress() const
{
    return d->srcAddress;
}

void ApsDataIndication::setSrcAddress(const Address &address)
{
    d->srcAddress = address;
}

quint8 ApsDataIndication::linkQuality() const
{
    return d->linkQuality;
}

void ApsDataIndication::setLinkQuality(quint8 linkQuality)
{
    d->linkQuality = linkQuality;
}

qint8 ApsDataIndication::rssi() const
{
    return d->rssi;
}

void ApsDataIndication::setRssi(qint8 rssi)
{
    d->rssi = rssi;
}

} // namespace Halvik

#include "apsdatarequest.h"

#include <atomic>

namespace Halvik {

namespace {

quint8 nextRequestId()
{
    // Unsigned 8-bit arithmetic gives the wrap from 255 to 0.
    static std::atomic<quint8> lastId{0};
    return ++lastId;
}

} // namespace

class ApsDataRequestPrivate
{
public:
    quint8 id = nextRequestId();
    ApsAddressMode dstAddressMode = ApsNoAddress;
    Address dstAddress;
    quint16 profileId = 0;
    quint16 clusterId = 0;
    quint8 dstEndpoint = 0;
    quint8 srcEndpoint = 0;
    QByteArray asdu;
    CommonState state = IdleState;
};

ApsDataRequest::ApsDataRequest() : d(new ApsDataRequestPrivate) {}

ApsDataRequest::ApsDataRequest(const ApsDataRequest &other) : d(new ApsDataRequestPrivate(*other.d))
{
}

ApsDataRequest &ApsDataRequest::operator=(const ApsDataRequest &other)
{
    ApsDataRequest copy(other);
    swap(copy);
    return *this;
}

ApsDataRequest::~ApsDataRequest() = default;

quint8 ApsDataRequest::id() const
{
    return d->id;
}

ApsAddressMode ApsDataRequest::dstAddressMode() const
{
    return d->dstAddressMode;
}

void ApsDataRequest::setDstAddressMode(ApsAddressMode mode)
{
    d->dstAddressMode = mode;
}

Address &ApsDataRequest::dstAddress()
{
    return d->dstAddress;
}

const Address &ApsDataRequest::dstAddress() const
{
    return d->dstAddress;
}

quint16 ApsDataRequest::profileId() const
{
    return d->profileId;
}

void ApsDataRequest::setProfileId(quint16 profileId)
{
    d->profileId = profileId;
}

quint16 ApsDataRequest::clusterId() const
{
    return d->clusterId;
}

void ApsDataRequest::setClusterId(quint16 clusterId)
{
    d->clusterId = clusterId;
}

quint8 ApsDataRequest::dstEndpoint() const
{
    return d->dstEndpoint;
}

void ApsDataRequest::setDstEndpoint(quint8 endpoint)
{
    d->dstEndpoint = endpoint;
}

quint8 ApsDataRequest::srcEndpoint() const
{
    return d->srcEndpoint;
}

void ApsDataRequest::setSrcEndpoint(quint8 endpoint)
{
    d->srcEndpoint = endpoint;
}

QByteArray &ApsDataRequest::asdu()
{
    return d->asdu;
}

const QByteArray &ApsDataRequest::asdu() const
{
    return d->asdu;
}

void ApsDataRequest::setAsdu(const QByteArray &asdu)
{
    d->asdu = asdu;
}

CommonState ApsDataRequest::state() const
{
    return d->state;
}

void ApsDataRequest::setState(CommonState state)
{
    d->state = state;
}

} // namespace Halvik

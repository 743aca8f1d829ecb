#ifndef APSDATAREQUEST_H
#define APSDATAREQUEST_H

#include "address.h"

#include <QByteArray>
#include <QtGlobal>

#include <memory>

namespace Halvik {

enum ApsAddressMode
{
    ApsNoAddress = 0,
    ApsGroupAddress = 1,
    ApsNwkAddress = 2,
    ApsExtAddress = 3
};

enum CommonState
{
    IdleState = 0,
    // Group and broadcast destinations: no single recipient acknowledges the frame.
    FireAndForgetState = 7
};

class ApsDataRequestPrivate;

// A frame that the host is asked to send through its APS data service.
//
// Every constructed request takes the next 8-bit id of one counter shared by the whole
// process (wrapping from 255 to 0); copies and assignments carry the id along, so the
// confirm of a copy matches the original.
class ApsDataRequest
{
public:
    ApsDataRequest();
    ApsDataRequest(const ApsDataRequest &other);
    ApsDataRequest &operator=(const ApsDataRequest &other);
    ~ApsDataRequest();

    void swap(ApsDataRequest &other) noexcept { d.swap(other.d); }

    quint8 id() const;

    ApsAddressMode dstAddressMode() const;
    void setDstAddressMode(ApsAddressMode mode);

    Address &dstAddress();
    const Address &dstAddress() const;

    quint16 profileId() const;
    void setProfileId(quint16 profileId);

    quint16 clusterId() const;
    void setClusterId(quint16 clusterId);

    quint8 dstEndpoint() const;
    void setDstEndpoint(quint8 endpoint);

    quint8 srcEndpoint() const;
    void setSrcEndpoint(quint8 endpoint);

    QByteArray &asdu();
    const QByteArray &asdu() const;
    void setAsdu(const QByteArray &asdu);

    CommonState state() const;
    void setState(CommonState state);

private:
    std::unique_ptr<ApsDataRequestPrivate> d;
};

} // namespace Halvik

#endif // APSDATAREQUEST_H

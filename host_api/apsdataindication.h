#ifndef APSDATAINDICATION_H
#define APSDATAINDICATION_H

#include "address.h"

#include <QMetaType>
#include <QtGlobal>

#include <memory>

namespace Halvik {

class ApsDataIndicationPrivate;

// A frame that the host received, with the radio figures measured on it.
class ApsDataIndication
{
public:
    ApsDataIndication();
    ApsDataIndication(const ApsDataIndication &other);
    ApsDataIndication &operator=(const ApsDataIndication &other);
    ~ApsDataIndication();

    void swap(ApsDataIndication &other) noexcept { d.swap(other.d); }

    quint16 profileId() const;
    void setProfileId(quint16 profileId);

    quint16 clusterId() const;
    void setClusterId(quint16 clusterId);

    const Address &srcAddress() const;
    void setSrcAddress(const Address &address);

    quint8 linkQuality() const;
    void setLinkQuality(quint8 linkQuality);

    qint8 rssi() const;
    void setRssi(qint8 rssi);

private:
    std::unique_ptr<ApsDataIndicationPrivate> d;
};

} // namespace Halvik

Q_DECLARE_METATYPE(Halvik::ApsDataIndication)

#endif // APSDATAINDICATION_H

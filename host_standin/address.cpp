#include "address.h"

namespace Halvik {

class AddressPrivate
{
public:
    quint64 ext = 0;
    quint16 nwk = 0;
    quint16 group = 0;
    bool hasExt = false;
    bool hasNwk = false;
    bool hasGroup = false;
};

Address::Address() : d(new AddressPrivate) {}

Address::Address(const Address &other) : d(new AddressPrivate(*other.d)) {}

Address &Address::operator=(const Address &other)
{
    Address copy(other);
    swap(copy);
    return *this;
}

Address::~Address() = default;

quint64 Address::ext() const
{
    return d->ext;
}

void Address::setExt(quint64 ext)
{
    d->ext = ext;
    d->hasExt = true;
}

bool Address::hasExt() const
{
    return d->hasExt;
}

quint16 Address::nwk() const
{
    return d->nwk;
}

void Address::setNwk(quint16 nwk)
{
    d->nwk = nwk;
    d->hasNwk = true;
}

bool Address::hasNwk() const
{
    return d->hasNwk;
}

quint16 Address::group() const
{
    return d->group;
}

void Address::setGroup(quint16 group)
{
    d->group = group;
    d->hasGroup = true;
}

bool Address::hasGroup() const
{
    return d->hasGroup;
}

bool Address::isNwkUnicast() const
{
    const quint16 firstBroadcast = 0xFFF8;
    return d->hasNwk && d->nwk < firstBroadcast;
}

QString Address::toStringExt() const
{
    return QStringLiteral("0x%1").arg(d->ext, 16, 16, QLatin1Char('0'));
}

void Address::clear()
{
    *d = AddressPrivate();
}

} // namespace Halvik

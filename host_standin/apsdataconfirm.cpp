#include "apsdataconfirm.h"

namespace Halvik {

class ApsDataConfirmPrivate
{
public:
    quint8 id = 0;
    quint8 status = 0;
};

ApsDataConfirm::ApsDataConfirm() : d(new ApsDataConfirmPrivate) {}

ApsDataConfirm::ApsDataConfirm(const ApsDataConfirm &other) : d(new ApsDataConfirmPrivate(*other.d))
{
}

ApsDataConfirm &ApsDataConfirm::operator=(const ApsDataConfirm &other)
{
    ApsDataConfirm copy(other);
    swap(copy);
    return *this;
}

ApsDataConfirm::~ApsDataConfirm() = default;

quint8 ApsDataConfirm::id() const
{
    return d->id;
}

void ApsDataConfirm::setId(quint8 id)
{
    d->id = id;
}

quint8 ApsDataConfirm::status() const
{
    return d->status;
}

void ApsDataConfirm::setStatus(quint8 status)
{
    d->status = status;
}

} // namespace Halvik

#include "zclframe.h"

#include <QDataStream>

namespace Halvik {

class ZclFramePrivate
{
public:
    quint8 frameControl = 0;
    quint16 manufacturerCode = 0;
    quint8 sequenceNumber = 0;
    quint8 commandId = 0;
    QByteArray payload;
};

ZclFrame::ZclFrame() : d(new ZclFramePrivate) {}

ZclFrame::ZclFrame(const ZclFrame &other) : d(new ZclFramePrivate(*other.d)) {}

ZclFrame &ZclFrame::operator=(const ZclFrame &other)
{
    ZclFrame copy(other);
    swap(copy);
    return *this;
}

ZclFrame::~ZclFrame() = default;

quint8 ZclFrame::frameControl() const
{
    return d->frameControl;
}

void ZclFrame::setFrameControl(quint8 frameControl)
{
    d->frameControl = frameControl;
}

quint16 ZclFrame::manufacturerCode() const
{
    return d->manufacturerCode;
}

void ZclFrame::setManufacturerCode(quint16 code)
{
    d->manufacturerCode = code;
}

quint8 ZclFrame::sequenceNumber() const
{
    return d->sequenceNumber;
}

void ZclFrame::setSequenceNumber(quint8 sequenceNumber)
{
    d->sequenceNumber = sequenceNumber;
}

quint8 ZclFrame::commandId() const
{
    return d->commandId;
}

void ZclFrame::setCommandId(quint8 commandId)
{
    d->commandId = commandId;
}

QByteArray &ZclFrame::payload()
{
    return d->payload;
}

const QByteArray &ZclFrame::payload() const
{
    return d->payload;
}

void ZclFrame::writeToStream(QDataStream &stream) const
{
    stream << d->frameControl;
    if (d->frameControl & ManufacturerSpecific)
        stream << quint8(d->manufacturerCode & 0xFF) << quint8(d->manufacturerCode >> 8);
    stream << d->sequenceNumber << d->commandId;
    stream.writeRawData(d->payload.constData(), d->payload.size());
}

bool ZclFrame::readFromStream(QDataStream &stream)
{
    ZclFramePrivate frame;
    stream >> frame.frameControl;
    if (frame.frameControl & ManufacturerSpecific) {
        quint8 low = 0;
        quint8 high = 0;
        stream >> low >> high;
        frame.manufacturerCode = quint16(low | (high << 8));
    }
    stream >> frame.sequenceNumber >> frame.commandId;
    if (stream.status() != QDataStream::Ok)
        return false;
    while (!stream.atEnd()) {
        quint8 byte = 0;
        stream >> byte;
        frame.payload.append(char(byte));
    }
    *d = frame;
    return true;
}

} // namespace Halvik

#ifndef ZCLFRAME_H
#define ZCLFRAME_H

#include <QByteArray>
#include <QtGlobal>

#include <memory>

class QDataStream;

namespace Halvik {

class ZclFramePrivate;

// A Zigbee Cluster Library frame. On the wire: frame control; the manufacturer code
// (little-endian) only when frame-control bit 2 is set; sequence number; command id;
// payload. The manufacturer code is written little-endian whatever the stream's byte order.
class ZclFrame
{
public:
    enum FrameControlBits
    {
        ManufacturerSpecific = 0x04
    };

    ZclFrame();
    ZclFrame(const ZclFrame &other);
    ZclFrame &operator=(const ZclFrame &other);
    ~ZclFrame();

    void swap(ZclFrame &other) noexcept { d.swap(other.d); }

    quint8 frameControl() const;
    void setFrameControl(quint8 frameControl);

    quint16 manufacturerCode() const;
    void setManufacturerCode(quint16 code);

    quint8 sequenceNumber() const;
    void setSequenceNumber(quint8 sequenceNumber);

    quint8 commandId() const;
    void setCommandId(quint8 commandId);

    QByteArray &payload();
    const QByteArray &payload() const;

    void writeToStream(QDataStream &stream) const;

    // Reads one frame, taking everything after the header as payload. Returns false and
    // leaves the frame unchanged when the stream ends inside the header.
    bool readFromStream(QDataStream &stream);

private:
    std::unique_ptr<ZclFramePrivate> d;
};

} // namespace Halvik

#endif // ZCLFRAME_H

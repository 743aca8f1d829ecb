#ifndef ADDRESS_H
#define ADDRESS_H

#include <QString>
#include <QtGlobal>

#include <memory>

namespace Halvik {

class AddressPrivate;

// A node's address: any combination of a 64-bit extended (IEEE) address, a 16-bit network
// (short) address and a 16-bit group address. Each part exists only once its setter ran.
class Address
{
public:
    Address();
    Address(const Address &other);
    Address &operator=(const Address &other);
    ~Address();

    void swap(Address &other) noexcept { d.swap(other.d); }

    quint64 ext() const;
    void setExt(quint64 ext);
    bool hasExt() const;

    quint16 nwk() const;
    void setNwk(quint16 nwk);
    bool hasNwk() const;

    quint16 group() const;
    void setGroup(quint16 group);
    bool hasGroup() const;

    // True for a network address below 0xFFF8; 0xFFF8 to 0xFFFF are Zigbee broadcasts.
    bool isNwkUnicast() const;

    // "0x" and 16 lower-case hexadecimal digits; all zeros without an extended part.
    QString toStringExt() const;

    // Removes every part.
    void clear();

private:
    std::unique_ptr<AddressPrivate> d;
};

} // namespace Halvik

#endif // ADDRESS_H

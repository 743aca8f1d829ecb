#ifndef SIMULATEDADAPTER_H
#define SIMULATEDADAPTER_H

#include "bootloaderemulator.h"

#include <QByteArray>

#include <climits>
#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

// A radio adapter as the converter or UART in front of it sees it: a BootloaderEmulator
// behind a serial line in each direction, and a reset input, active low. Each byte takes
// its wire time on the line, and the bootloader's transmissions queue behind each other.
// Times are microseconds on the owner's clock (the VirtualClock for the FTDI converters,
// real time for the Moduna module's serial side); nothing happens between calls, so the
// owner brings the adapter up to each moment it looks at.
class SimulatedAdapter
{
public:
    static constexpr qint64 Never = std::numeric_limits<qint64>::max();

    // Ten bits a byte: start bit, 8 data bits, stop bit.
    static qint64 wireTime(qint64 bytes, uint32_t baudRate);

    BootloaderEmulator &bootloader() { return m_bootloader; }
    const BootloaderEmulator &bootloader() const { return m_bootloader; }
    bool isResetAsserted() const { return m_resetAsserted; }
    // Counted over the adapter's life: what crossed the serial line in each direction.
    qint64 bytesFromHost() const { return m_bytesFromHost; }
    qint64 bytesToHost() const { return m_bytesToHost; }

    // Line from the host. The bytes set off at `time`, behind those still on the line;
    // returns the moment the last of them arrives.
    qint64 sendToAdapter(const QByteArray &bytes, qint64 time, uint32_t baudRate);
    // When the line is free for the next byte.
    qint64 lineToAdapterFreeAt() const { return m_lineToAdapterFreeAt; }
    qint64 nextArrivalAtAdapter() const;
    // Hands the bootloader, sending by sending, what has arrived by `time`, and puts its
    // answers on the line to the host.
    void deliverToAdapter(qint64 time, uint32_t baudRate);

    // Line to the host: each byte arrives when its stop bit ends.
    int arrivedBy(qint64 time) const;
    // When the byte at this position of the line arrives; Never if there is none.
    qint64 arrivalOf(int position) const;
    // When the first of these bytes still on the line arrives; Never if there is none.
    qint64 arrivalOfFirst(char byte) const;
    // Every transmission of the bootloader, with the moment its last byte arrives.
    struct Transmission
    {
        qint64 end;
        QByteArray bytes;
    };
    const std::vector<Transmission> &transmissionsToHost() const { return m_transmissions; }
    QByteArray takeArrived(qint64 time, int maximum = INT_MAX);
    // For an owner that hands on whole transmissions: the bytes of those that have arrived
    // completely by `time`, and when the next one will have.
    int transmittedBy(qint64 time) const;
    qint64 nextTransmissionEnd() const;

    // Held low, the adapter stops: it sends nothing more and hears nothing, and whatever
    // was still on either line is lost, since the reset lasts longer than any of it takes
    // to arrive. Going high again starts the bootloader.
    void setResetLine(bool high, qint64 time);

private:
    struct Sending
    {
        qint64 arrival; // of its last byte
        QByteArray bytes;
    };
    struct LineByte
    {
        qint64 arrival;
        char byte;
        bool endsTransmission;
    };

    BootloaderEmulator m_bootloader;
    bool m_resetAsserted = false;
    std::deque<Sending> m_toAdapter;
    qint64 m_lineToAdapterFreeAt = 0;
    std::deque<LineByte> m_toHost;
    std::vector<Transmission> m_transmissions;
    qint64 m_lineToHostFreeAt = 0;
    qint64 m_bytesFromHost = 0;
    qint64 m_bytesToHost = 0;
};

#endif // SIMULATEDADAPTER_H

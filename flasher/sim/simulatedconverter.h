#ifndef SIMULATEDCONVERTER_H
#define SIMULATEDCONVERTER_H

#include "d2xx.h"
#include "simulatedadapter.h"

#include <QByteArray>
#include <QList>

class VirtualClock;

// What a simulated converter reports about itself.
struct ConverterIdentity
{
    quint16 vendorId = 0x0403;
    quint16 productId = 0x6001;
    QByteArray serialNumber;
    QByteArray description;
    FT_DEVICE type = 5; // the vendor's code of an FT232R
    // Held by another process or out of reach, unless its kind is FtdiFree: listed with
    // FT_FLAGS_OPENED and this holder, and opening it fails.
    FtdiHolder holder = {};
    // Where it is plugged in; SimulatedFtdi::addConverter() gives the next port when empty.
    QByteArray location = {};
};

// The line settings that the FT_Set* calls change; FT_Open restores these defaults.
struct LineSettings
{
    uint32_t baudRate = 9600;
    uint8_t latencyTimerMs = 16;
    uint8_t wordLength = FT_BITS_8;
    uint8_t stopBits = FT_STOP_BITS_1;
    uint8_t parity = FT_PARITY_NONE;
    uint32_t readTimeoutMs = 0;
    uint32_t writeTimeoutMs = 0;
    uint8_t eventChar = 0;
    bool eventCharEnabled = false;
};

// One FTDI converter with a SimulatedAdapter behind it, whose reset line is wired to CBUS0.
// Time follows the VirtualClock: a write takes the wire time of its bytes at the current
// baud rate, and each byte that the adapter sends becomes readable only when the clock has
// reached the moment its last bit arrives. USB transfers themselves take no time.
class SimulatedConverter
{
public:
    SimulatedConverter(const ConverterIdentity &identity, VirtualClock &clock);

    ConverterIdentity &identity() { return m_identity; }
    bool isHeld() const { return m_identity.holder.kind != FtdiFree; }
    // Unplugged, it is listed no more, and calls on a handle still open on it fail.
    bool isPlugged() const { return m_plugged; }
    void unplug() { m_plugged = false; }
    BootloaderEmulator &bootloader() { return m_adapter.bootloader(); }
    // The FT_Set* calls write here; tests read what the host chose.
    LineSettings &lineSettings() { return m_lineSettings; }
    bool isOpen() const { return m_open; }
    bool isResetAsserted() const { return m_adapter.isResetAsserted(); }
    // The next statusQueries FT_GetStatus calls report bytes still waiting to be sent, as
    // a converter does while its transmit FIFO drains.
    void holdTransmitQueue(int statusQueries) { m_heldStatusQueries = statusQueries; }
    // Counted over the converter's life: what crossed the serial line in each direction.
    qint64 bytesFromHost() const { return m_adapter.bytesFromHost(); }
    qint64 bytesToHost() const { return m_adapter.bytesToHost(); }
    // Every FT_Write (the bytes the converter took) and FT_Read (the bytes it delivered) of
    // the host, in order, over the converter's life: which bytes a write answered.
    struct HostTransfer
    {
        bool isWrite;
        QByteArray bytes;
    };
    const QList<HostTransfer> &transcript() const { return m_transcript; }

    // Used by the simulated D2XX calls.
    void open();
    void close();
    void write(const QByteArray &bytes);
    int bytesWaiting() const;
    // Lets the clock run until bytes are waiting, at most until `deadline`.
    void waitForBytes(qint64 deadline);
    uint32_t takeTransmitWaiting();
    QByteArray read(int maximum);
    void setBitMode(uint8_t mask, uint8_t mode);

private:
    ConverterIdentity m_identity;
    VirtualClock &m_clock;
    SimulatedAdapter m_adapter;
    LineSettings m_lineSettings;
    bool m_open = false;
    bool m_plugged = true;
    int m_heldStatusQueries = 0;
    QList<HostTransfer> m_transcript;
};

#endif // SIMULATEDCONVERTER_H

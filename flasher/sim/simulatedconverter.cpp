#include "simulatedconverter.h"

#include "virtualclock.h"

#include <algorithm>

namespace {

constexpr qint64 BitsPerByte = 10; // start bit, 8 data bits, stop bit
constexpr qint64 MicrosecondsPerSecond = 1000000;

// In CBUS bit-bang mode the upper nibble of the mask makes CBUS0..3 outputs and the
// lower nibble gives their levels.
constexpr uint8_t Cbus0Output = 0x10;
constexpr uint8_t Cbus0High = 0x01;

} // namespace

SimulatedConverter::SimulatedConverter(const ConverterIdentity &identity, VirtualClock &clock)
    : m_identity(identity), m_clock(clock)
{
}

void SimulatedConverter::open()
{
    m_open = true;
    m_lineSettings = LineSettings();
    // Opening purges the chip's receive FIFO; bytes still on the wire arrive afterwards.
    m_incoming.erase(m_incoming.begin(), m_incoming.begin() + bytesWaiting());
}

void SimulatedConverter::close()
{
    m_open = false;
}

void SimulatedConverter::write(const QByteArray &bytes)
{
    m_clock.advance(wireTime(bytes.size()));
    m_bytesFromHost += bytes.size();
    m_transcript.append({true, bytes});
    transmit(m_bootloader.receive(bytes));
}

int SimulatedConverter::bytesWaiting() const
{
    const qint64 now = m_clock.now();
    // Arrival times only grow along the queue.
    const auto firstInFlight =
        std::find_if(m_incoming.begin(), m_incoming.end(),
                     [now](const IncomingByte &incoming) { return incoming.arrival > now; });
    return int(firstInFlight - m_incoming.begin());
}

uint32_t SimulatedConverter::takeTransmitWaiting()
{
    if (m_heldStatusQueries == 0)
        return 0;
    --m_heldStatusQueries;
    return 1;
}

QByteArray SimulatedConverter::read(int maximum)
{
    const int count = std::min(maximum, bytesWaiting());
    QByteArray bytes;
    bytes.reserve(count);
    for (int i = 0; i < count; ++i) {
        bytes.append(m_incoming.front().byte);
        m_incoming.pop_front();
    }
    m_transcript.append({false, bytes});
    return bytes;
}

void SimulatedConverter::setBitMode(uint8_t mask, uint8_t mode)
{
    // The adapter's reset is active low; a released or high CBUS0 lets it run.
    const bool resetAsserted =
        mode == FT_BITMODE_CBUS_BITBANG && (mask & Cbus0Output) && !(mask & Cbus0High);
    if (resetAsserted && !m_resetAsserted) {
        // Whatever the adapter had not finished sending dies with it.
        m_incoming.erase(m_incoming.begin() + bytesWaiting(), m_incoming.end());
        m_lineFreeAt = m_clock.now();
        m_bootloader.holdInReset();
    } else if (!resetAsserted && m_resetAsserted) {
        m_bootloader.start();
    }
    m_resetAsserted = resetAsserted;
}

qint64 SimulatedConverter::wireTime(qint64 bytes) const
{
    const qint64 baudRate = m_lineSettings.baudRate;
    return (bytes * BitsPerByte * MicrosecondsPerSecond + baudRate / 2) / baudRate;
}

void SimulatedConverter::transmit(const QList<BootloaderTransmission> &transmissions)
{
    qint64 previousEnd = m_clock.now();
    for (const BootloaderTransmission &transmission : transmissions) {
        const qint64 start =
            std::max(previousEnd + qint64(transmission.delayMs) * 1000, m_lineFreeAt);
        for (int i = 0; i < transmission.bytes.size(); ++i)
            m_incoming.push_back({start + wireTime(i + 1), transmission.bytes.at(i)});
        previousEnd = start + wireTime(transmission.bytes.size());
        m_bytesToHost += transmission.bytes.size();
        m_lineFreeAt = previousEnd;
    }
}

#include "simulatedconverter.h"

#include "virtualclock.h"

#include <algorithm>

namespace {

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
    m_adapter.takeArrived(m_clock.now());
}

void SimulatedConverter::close()
{
    m_open = false;
}

void SimulatedConverter::write(const QByteArray &bytes)
{
    const qint64 arrival = m_adapter.sendToAdapter(bytes, m_clock.now(), m_lineSettings.baudRate);
    m_clock.advance(arrival - m_clock.now());
    m_transcript.append({true, bytes});
    m_adapter.deliverToAdapter(m_clock.now(), m_lineSettings.baudRate);
}

int SimulatedConverter::bytesWaiting() const
{
    return m_adapter.arrivedBy(m_clock.now());
}

void SimulatedConverter::waitForBytes(qint64 deadline)
{
    if (bytesWaiting() == 0)
        m_clock.advance(std::min(deadline, m_adapter.arrivalOf(0)) - m_clock.now());
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
    const QByteArray bytes = m_adapter.takeArrived(m_clock.now(), maximum);
    m_transcript.append({false, bytes});
    return bytes;
}

void SimulatedConverter::setBitMode(uint8_t mask, uint8_t mode)
{
    // A released or high CBUS0 lets the adapter run.
    const bool resetAsserted =
        mode == FT_BITMODE_CBUS_BITBANG && (mask & Cbus0Output) && !(mask & Cbus0High);
    m_adapter.setResetLine(!resetAsserted, m_clock.now());
}

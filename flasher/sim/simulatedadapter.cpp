#include "simulatedadapter.h"

#include <algorithm>

qint64 SimulatedAdapter::wireTime(qint64 bytes, uint32_t baudRate)
{
    constexpr qint64 BitsPerByte = 10;
    constexpr qint64 MicrosecondsPerSecond = 1000000;
    const qint64 rate = baudRate;
    return (bytes * BitsPerByte * MicrosecondsPerSecond + rate / 2) / rate;
}

qint64 SimulatedAdapter::sendToAdapter(const QByteArray &bytes, qint64 time, uint32_t baudRate)
{
    m_lineToAdapterFreeAt =
        std::max(m_lineToAdapterFreeAt, time) + wireTime(bytes.size(), baudRate);
    m_toAdapter.push_back({m_lineToAdapterFreeAt, bytes});
    m_bytesFromHost += bytes.size();
    return m_lineToAdapterFreeAt;
}

qint64 SimulatedAdapter::nextArrivalAtAdapter() const
{
    return m_toAdapter.empty() ? Never : m_toAdapter.front().arrival;
}

void SimulatedAdapter::deliverToAdapter(qint64 time, uint32_t baudRate)
{
    while (!m_toAdapter.empty() && m_toAdapter.front().arrival <= time) {
        const Sending sending = m_toAdapter.front();
        m_toAdapter.pop_front();
        qint64 previousEnd = sending.arrival;
        for (const BootloaderTransmission &transmission : m_bootloader.receive(sending.bytes)) {
            const qint64 start =
                std::max(previousEnd + qint64(transmission.delayMs) * 1000, m_lineToHostFreeAt);
            const int length = transmission.bytes.size();
            for (int i = 0; i < length; ++i)
                m_toHost.push_back(
                    {start + wireTime(i + 1, baudRate), transmission.bytes.at(i), i == length - 1});
            previousEnd = start + wireTime(length, baudRate);
            m_lineToHostFreeAt = previousEnd;
            m_transmissions.push_back({previousEnd, transmission.bytes});
            m_bytesToHost += length;
        }
    }
}

int SimulatedAdapter::arrivedBy(qint64 time) const
{
    // Arrival times only grow along the line.
    const auto firstOnTheWay =
        std::find_if(m_toHost.begin(), m_toHost.end(),
                     [time](const LineByte &lineByte) { return lineByte.arrival > time; });
    return int(firstOnTheWay - m_toHost.begin());
}

qint64 SimulatedAdapter::arrivalOf(int position) const
{
    return position < int(m_toHost.size()) ? m_toHost[size_t(position)].arrival : Never;
}

qint64 SimulatedAdapter::arrivalOfFirst(char byte) const
{
    const auto found =
        std::find_if(m_toHost.begin(), m_toHost.end(),
                     [byte](const LineByte &lineByte) { return lineByte.byte == byte; });
    return found == m_toHost.end() ? Never : found->arrival;
}

QByteArray SimulatedAdapter::takeArrived(qint64 time, int maximum)
{
    const int count = std::min(maximum, arrivedBy(time));
    QByteArray bytes;
    bytes.reserve(count);
    for (int i = 0; i < count; ++i) {
        bytes.append(m_toHost.front().byte);
        m_toHost.pop_front();
    }
    return bytes;
}

int SimulatedAdapter::transmittedBy(qint64 time) const
{
    int count = 0;
    for (int i = 0; i < int(m_toHost.size()) && m_toHost[size_t(i)].arrival <= time; ++i) {
        if (m_toHost[size_t(i)].endsTransmission)
            count = i + 1;
    }
    return count;
}

qint64 SimulatedAdapter::nextTransmissionEnd() const
{
    const auto end = std::find_if(m_toHost.begin(), m_toHost.end(), [](const LineByte &lineByte) {
        return lineByte.endsTransmission;
    });
    return end == m_toHost.end() ? Never : end->arrival;
}

void SimulatedAdapter::setResetLine(bool high, qint64 time)
{
    const bool asserted = !high;
    if (asserted && !m_resetAsserted) {
        m_toHost.erase(m_toHost.begin() + arrivedBy(time), m_toHost.end());
        m_lineToHostFreeAt = time;
        m_toAdapter.clear();
        m_bootloader.holdInReset();
    } else if (!asserted && m_resetAsserted) {
        m_bootloader.start();
    }
    m_resetAsserted = asserted;
}

#include "bootloaderemulator.h"

#include <QtEndian>

#include <algorithm>

namespace {

const QByteArray WakeUpSequence("\x1A\x1C\xA9\xAE", 4);

QByteArray blockRequest(int number)
{
    QByteArray request("GET");
    request.append(char(number & 0xFF));
    request.append(char((number >> 8) & 0xFF));
    request.append(';');
    return request;
}

} // namespace

void BootloaderEmulator::holdInReset()
{
    m_phase = Phase::Stopped;
}

void BootloaderEmulator::start()
{
    ++m_startCount;
    m_phase = Phase::WaitingForWakeUp;
    m_wakeUpWindow.clear();
    m_repliesSent.clear();
    m_descriptorBytes.clear();
    m_descriptor = ImageDescriptor();
    m_requested.clear();
    m_blocks.clear();
    m_verdictSent.clear();
    m_unexpectedBytes.clear();
}

QList<BootloaderTransmission> BootloaderEmulator::receive(const QByteArray &bytes)
{
    QList<BootloaderTransmission> out;
    if (m_script.replayedReplies && isRunning()) {
        const QList<BootloaderTransmission> &replies = *m_script.replayedReplies;
        if (m_replayedWrites < replies.size())
            out.append(replies.at(m_replayedWrites));
        ++m_replayedWrites;
        return out;
    }
    for (char byte : bytes)
        receiveByte(byte, out);
    return out;
}

void BootloaderEmulator::receiveByte(char byte, QList<BootloaderTransmission> &out)
{
    switch (m_phase) {
    case Phase::Stopped:
    case Phase::Done:
        m_unexpectedBytes.append(byte);
        return;
    case Phase::WaitingForWakeUp: {
        m_wakeUpWindow.append(byte);
        if (m_wakeUpWindow.size() > WakeUpSequence.size())
            m_wakeUpWindow.remove(0, 1);
        if (m_wakeUpWindow != WakeUpSequence || m_script.wakeUpReplies.isEmpty())
            return;
        m_wakeUpWindow.clear();
        const int replyIndex = std::min(m_wakeUpCount, int(m_script.wakeUpReplies.size()) - 1);
        ++m_wakeUpCount;
        const QByteArray reply = m_script.wakeUpReplies.at(replyIndex);
        out.append({m_script.replyDelayMs, reply});
        m_repliesSent.append(reply);
        // A "READY" split across replies counts as well, as it does for the host.
        if (m_repliesSent.contains("READY"))
            m_phase = Phase::ReceivingDescriptor;
        return;
    }
    case Phase::ReceivingDescriptor: {
        m_descriptorBytes.append(byte);
        if (!hasDescriptor())
            return;
        const auto *raw = reinterpret_cast<const uchar *>(m_descriptorBytes.constData());
        m_descriptor.size = qFromLittleEndian<quint32>(raw);
        m_descriptor.targetAddress = qFromLittleEndian<quint32>(raw + 4);
        m_descriptor.type = raw[8];
        m_descriptor.crc = raw[9];
        // An image larger than the flash is refused by falling silent.
        if (m_descriptor.size > FlashSize) {
            m_phase = Phase::Done;
            return;
        }
        requestNextBlock(m_script.firstRequestDelayMs, out);
        return;
    }
    case Phase::ReceivingBlock: {
        QByteArray &block = m_blocks[m_currentBlock];
        block.append(byte);
        if (block.size() < m_expectedLength)
            return;
        if (m_currentIsFinal)
            finishVerification(out);
        else
            requestNextBlock(m_script.requestDelayMs, out);
        return;
    }
    }
}

void BootloaderEmulator::requestNextBlock(int delayMs, QList<BootloaderTransmission> &out)
{
    const int position = m_requested.size();
    if (!m_script.requestOrder.isEmpty() && position >= m_script.requestOrder.size()) {
        m_phase = Phase::Done;
        return;
    }
    const int number =
        m_script.requestOrder.isEmpty() ? position : m_script.requestOrder.at(position);
    const int blockCount = int(m_descriptor.size / BlockLength);
    m_requested.append(number);
    m_currentBlock = number;
    m_currentIsFinal = number >= blockCount;
    m_expectedLength = m_currentIsFinal ? int(m_descriptor.size % BlockLength) : BlockLength;
    m_blocks[number].clear();
    out.append({delayMs, m_script.bytesBeforeRequest.value(position) + blockRequest(number)});

    if (m_currentIsFinal && m_expectedLength == 0)
        finishVerification(out);
    else
        m_phase = Phase::ReceivingBlock;
}

void BootloaderEmulator::finishVerification(QList<BootloaderTransmission> &out)
{
    m_phase = Phase::Done;
    const bool valid = crc8(image()) == m_descriptor.crc;
    m_verdictSent = m_script.verdict.value_or(valid ? "VALID CRC" : "INVALID CRC");
    int delayMs = m_script.verifyDurationMs;
    if (m_script.sendEndOfVerification) {
        out.append({delayMs, "#"});
        delayMs = 0;
    }
    out.append({delayMs, m_verdictSent});
}

QByteArray BootloaderEmulator::image() const
{
    const qint64 size = m_descriptor.size;
    if (size > FlashSize)
        return QByteArray();
    QByteArray image(int(size), char(0xFF));
    for (auto block = m_blocks.cbegin(); block != m_blocks.cend(); ++block) {
        const qint64 offset = qint64(block.key()) * BlockLength;
        const qint64 length = std::min<qint64>(block.value().size(), size - offset);
        if (length > 0)
            image.replace(int(offset), int(length), block.value().left(int(length)));
    }
    return image;
}

quint8 BootloaderEmulator::crc8(const QByteArray &bytes)
{
    quint8 crc = 0;
    for (char byte : bytes) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80) ? quint8((crc << 1) ^ 0x31) : quint8(crc << 1);
    }
    return crc;
}

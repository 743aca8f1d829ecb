#include "simulatedchip.h"

#include "virtualclock.h"

#include <algorithm>

namespace {

constexpr int PacketSize = 64; // full-speed bulk packets
constexpr int StatusLength = 2;
constexpr size_t PacketPayload = PacketSize - StatusLength;
constexpr int TransmitBufferSize = 128;
constexpr size_t ReceiveBufferSize = 256;
// Modem status (CTS, DSR and the reserved bit 0) and line status (transmitter empty).
constexpr unsigned char ModemStatus = 0x01;
constexpr unsigned char LineStatus = 0x60;

// Vendor requests of the FT232R.
constexpr uint8_t ResetRequest = 0x00;
constexpr uint8_t SetBaudRateRequest = 0x03;
constexpr uint8_t SetEventCharRequest = 0x06;
constexpr uint8_t SetLatencyTimerRequest = 0x09;
constexpr uint8_t SetBitModeRequest = 0x0B;

// In CBUS bit-bang mode the upper nibble of the mask makes CBUS0..3 outputs and the
// lower nibble gives their levels.
constexpr uint8_t CbusBitBang = 0x20;
constexpr uint8_t Cbus0Output = 0x10;
constexpr uint8_t Cbus0High = 0x01;

// A released or high CBUS0 lets the adapter run.
bool assertsReset(uint16_t bitModeValue)
{
    const auto mask = uint8_t(bitModeValue);
    const auto mode = uint8_t(bitModeValue >> 8);
    return mode == CbusBitBang && (mask & Cbus0Output) && !(mask & Cbus0High);
}

// The baud rate divisor in eighths of the 3 MHz base clock: 14 integer bits in value,
// a 3-bit code for the fraction in value's top two bits and index's bit 0; the divisors
// 0 and 1 stand for 3 and 2 MBaud.
uint32_t baudRateOf(uint16_t value, uint16_t index)
{
    static const uint32_t eighthsOfCode[8] = {0, 4, 2, 1, 3, 5, 6, 7};
    constexpr uint32_t BaseClock = 3000000;
    const uint32_t divisor = value | uint32_t(index & 1) << 16;
    if (divisor <= 1)
        return divisor == 0 ? BaseClock : 2000000;
    const uint32_t eighths = (divisor & 0x3FFF) * 8 + eighthsOfCode[divisor >> 14];
    return (BaseClock * 8 + eighths / 2) / eighths;
}

} // namespace

SimulatedChip::SimulatedChip(const ChipIdentity &identity, VirtualClock &clock)
    : m_identity(identity), m_clock(clock), m_payloadLimit(PacketPayload),
      m_driverBound(identity.holder != ConverterHolder::UsbClaim)
{
}

bool SimulatedChip::control(uint8_t request, uint16_t value, uint16_t index)
{
    const bool bitMode = request == SetBitModeRequest;
    if (bitMode && assertsReset(value))
        m_refusedReleases = 0;
    if (m_linkFaults.stalledRequests.count(m_requests++)) {
        if (bitMode && !assertsReset(value))
            ++m_refusedReleases;
        return false;
    }
    switch (request) {
    case ResetRequest:
        ++m_resetCount;
        m_receiveBuffer.clear();
        break;
    case SetBaudRateRequest:
        m_settings.baudRate = baudRateOf(value, index);
        break;
    case SetEventCharRequest:
        m_settings.eventChar = uint8_t(value);
        m_settings.eventCharEnabled = value & 0x100;
        break;
    case SetLatencyTimerRequest:
        m_settings.latencyTimerMs = uint8_t(value);
        break;
    case SetBitModeRequest:
        m_adapter.setResetLine(!assertsReset(value), m_clock.now());
        break;
    default:
        // Data format, modem lines, flow control: the emulated adapter takes any of them.
        break;
    }
    return true;
}

void SimulatedChip::setPacketPayloadLimit(int bytes)
{
    m_payloadLimit = size_t(std::clamp(bytes, 1, int(PacketPayload)));
}

int SimulatedChip::acceptedLength(int length)
{
    const auto shortWrite = m_linkFaults.shortWrites.find(m_writes++);
    if (shortWrite == m_linkFaults.shortWrites.end())
        return length;
    return std::min(length, std::max(shortWrite->second, 0) * PacketSize);
}

qint64 SimulatedChip::takeFromHost(const QByteArray &bytes)
{
    const qint64 now = m_clock.now();
    m_hostWriteTimes.push_back(now);
    // The buffer drains onto the line, and a packet goes in once it has room for all of it.
    qint64 taken = now;
    qint64 lineFreeAt = std::max(m_adapter.lineToAdapterFreeAt(), now);
    for (int offset = 0; offset < bytes.size(); offset += PacketSize) {
        const int length = std::min(PacketSize, int(bytes.size()) - offset);
        taken = std::max(taken, lineFreeAt - wireTime(TransmitBufferSize - length));
        lineFreeAt += wireTime(length);
    }
    m_adapter.sendToAdapter(bytes, now, m_settings.baudRate);
    return taken;
}

bool SimulatedChip::cancelRead(BulkRead *read)
{
    const auto found = std::find(m_reads.begin(), m_reads.end(), read);
    if (found == m_reads.end())
        return false;
    m_reads.erase(found);
    return true;
}

void SimulatedChip::runUntil(qint64 time)
{
    if (!m_plugged)
        return;
    for (;;) {
        const qint64 delivery = m_adapter.nextArrivalAtAdapter();
        const qint64 packet = nextPacket();
        if (std::min(delivery, packet) > time)
            break;
        if (delivery <= packet)
            m_adapter.deliverToAdapter(delivery, m_settings.baudRate);
        else
            sendPacket(packet);
    }
    absorbArrivals(time);
}

qint64 SimulatedChip::nextEvent() const
{
    if (!m_plugged)
        return Never;
    return std::min(m_adapter.nextArrivalAtAdapter(), nextPacket());
}

void SimulatedChip::unplug()
{
    m_plugged = false;
    for (BulkRead *read : m_reads) {
        read->completed = m_clock.now();
        read->end = ReadEnd::NoDevice;
    }
    m_reads.clear();
}

qint64 SimulatedChip::wireTime(qint64 bytes) const
{
    return SimulatedAdapter::wireTime(bytes, m_settings.baudRate);
}

qint64 SimulatedChip::nextPacket() const
{
    if (m_reads.empty())
        return Never;
    const qint64 timerExpiry =
        m_lastPacket + qint64(std::max<uint8_t>(m_settings.latencyTimerMs, 1)) * 1000;
    const size_t missing = m_payloadLimit - std::min(m_payloadLimit, m_receiveBuffer.size());
    const qint64 full = missing == 0 ? 0 : m_adapter.arrivalOf(int(missing) - 1);
    return std::max({m_reads.front()->submitted, m_lastPacket,
                     std::min({timerExpiry, full, eventCharArrival()})});
}

qint64 SimulatedChip::eventCharArrival() const
{
    if (!m_settings.eventCharEnabled)
        return Never;
    const char eventChar = char(m_settings.eventChar);
    if (std::find(m_receiveBuffer.begin(), m_receiveBuffer.end(), eventChar) !=
        m_receiveBuffer.end())
        return 0;
    return m_adapter.arrivalOfFirst(eventChar);
}

void SimulatedChip::sendPacket(qint64 time)
{
    absorbArrivals(time);
    BulkRead &read = *m_reads.front();
    const auto payload = long(std::min(m_payloadLimit, m_receiveBuffer.size()));
    unsigned char *packet = read.buffer + read.received;
    packet[0] = ModemStatus;
    packet[1] = LineStatus;
    std::copy_n(m_receiveBuffer.begin(), payload, packet + StatusLength);
    m_receiveBuffer.erase(m_receiveBuffer.begin(), m_receiveBuffer.begin() + payload);
    read.received += StatusLength + int(payload);
    m_lastPacket = time;
    // A short packet ends the transfer, as does a buffer without room for another packet.
    if (size_t(payload) < PacketPayload || read.length - read.received < PacketSize) {
        read.completed = time;
        if (m_linkFaults.failedReads.count(m_endedReads++))
            read.end = ReadEnd::Failed;
        m_reads.pop_front();
    }
}

void SimulatedChip::absorbArrivals(qint64 time)
{
    for (char byte : m_adapter.takeArrived(time)) {
        if (m_receiveBuffer.size() < ReceiveBufferSize)
            m_receiveBuffer.push_back(byte);
    }
}

namespace {

constexpr uint8_t RequestTypeMask = 0x60;
constexpr uint8_t StandardRequestType = 0x00;
constexpr uint8_t VendorRequestType = 0x40;

constexpr uint8_t GetStatusRequest = 0x00;
constexpr uint8_t GetDescriptorRequest = 0x06;
constexpr uint8_t DeviceDescriptorType = 0x01;
constexpr uint8_t ConfigurationDescriptorType = 0x02;
constexpr uint8_t StringDescriptorType = 0x03;
enum StringIndex : uint8_t
{
    LanguagesString,
    ManufacturerString,
    ProductString,
    SerialNumberString
};
constexpr uint16_t UsEnglish = 0x0409;

constexpr uint8_t GetModemStatusRequest = 0x05;
constexpr uint8_t GetLatencyTimerRequest = 0x0A;
constexpr uint8_t ReadEepromRequest = 0x90;
// The EEPROM word with the functions of CBUS0..3: CBUS0 in I/O mode, as the bit-bang reset
// needs it, CBUS1 RXLED, CBUS2 TXDEN, CBUS3 PWREN. The rest of the EEPROM reads as erased.
constexpr uint16_t CbusFunctionsWord = 0x0A;
constexpr uint16_t CbusFunctions = 0x102A;
constexpr uint16_t ErasedWord = 0xFFFF;

QByteArray littleEndian16(uint16_t value)
{
    const char bytes[] = {char(value & 0xFF), char(value >> 8)};
    return QByteArray(bytes, sizeof bytes);
}

QByteArray deviceDescriptor(const ChipIdentity &identity)
{
    const char serialNumberString = identity.serialNumber.isEmpty() ? 0 : SerialNumberString;
    // USB 2.0, the class given by the interface, 8-byte control packets.
    return QByteArray::fromHex("1201000200000008") + littleEndian16(identity.vendorId) +
           littleEndian16(identity.productId) + littleEndian16(identity.bcdDevice) +
           char(ManufacturerString) + char(ProductString) + serialNumberString +
           char(1); // configurations
}

// One configuration (bus-powered, remote wake-up, 90 mA) with one vendor-class interface
// named by the product string: bulk IN endpoint 0x81 and bulk OUT endpoint 0x02, 64-byte
// packets.
QByteArray configurationDescriptor()
{
    return QByteArray::fromHex("09022000010100a02d" // 32 bytes in all, value 1
                               "0904000002ffffff02" // 2 endpoints
                               "07058102400000"     // bulk IN
                               "07050202400000");   // bulk OUT
}

// What the host reads of a string: its bytes taken as Latin-1, in UTF-16LE.
QByteArray stringDescriptor(const QByteArray &text)
{
    constexpr int MaximumCharacters = 126;
    const QByteArray characters = text.left(MaximumCharacters);
    QByteArray descriptor;
    descriptor += char(2 + 2 * characters.size());
    descriptor += char(StringDescriptorType);
    for (char character : characters)
        descriptor += littleEndian16(uchar(character));
    return descriptor;
}

} // namespace

std::optional<QByteArray> SimulatedChip::controlIn(uint8_t requestType, uint8_t request,
                                                   uint16_t value, uint16_t index) const
{
    if ((requestType & RequestTypeMask) == StandardRequestType) {
        if (request == GetStatusRequest)
            return QByteArray(2, '\0'); // bus-powered, remote wake-up off, not halted
        if (request != GetDescriptorRequest)
            return std::nullopt;
        switch (value >> 8) {
        case DeviceDescriptorType:
            return deviceDescriptor(m_identity);
        case ConfigurationDescriptorType:
            return configurationDescriptor();
        case StringDescriptorType:
            break;
        default:
            return std::nullopt;
        }
        switch (value & 0xFF) {
        case LanguagesString:
            return QByteArray::fromHex("0403") + littleEndian16(UsEnglish); // one language
        case ManufacturerString:
            return stringDescriptor(m_identity.manufacturer);
        case ProductString:
            return stringDescriptor(m_identity.description);
        case SerialNumberString:
            if (!m_identity.serialNumber.isEmpty())
                return stringDescriptor(m_identity.serialNumber);
            break;
        }
        return std::nullopt;
    }
    if ((requestType & RequestTypeMask) != VendorRequestType)
        return std::nullopt;
    switch (request) {
    case GetModemStatusRequest:
        return littleEndian16(uint16_t(LineStatus << 8 | ModemStatus));
    case GetLatencyTimerRequest:
        return QByteArray(1, char(m_settings.latencyTimerMs));
    case ReadEepromRequest:
        return littleEndian16(index == CbusFunctionsWord ? CbusFunctions : ErasedWord);
    }
    return std::nullopt;
}

#include "usbipserver.h"

#include "usbipprotocol.h"
#include "virtualclock.h"

#include <QSaveFile>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace UsbIp;

constexpr uint32_t BusNumber = 1;
constexpr uint32_t FullSpeed = 2; // the kernel's USB_SPEED_FULL

// Then URBs, each with a 48-byte big-endian header.
constexpr uint32_t SubmitCommand = 1;
constexpr uint32_t UnlinkCommand = 2;
constexpr uint32_t SubmitReturn = 3;
constexpr uint32_t UnlinkReturn = 4;
constexpr int HeaderLength = 48;
constexpr int CommandOffset = 0;
constexpr int SeqnumOffset = 4;
constexpr int DirectionOffset = 12;
constexpr int EndpointOffset = 16;
constexpr int StatusOffset = 20; // or the seqnum to unlink
constexpr int LengthOffset = 24; // the transfer buffer's, or the actual one
constexpr int NumberOfPacketsOffset = 32;
constexpr int SetupOffset = 40;
constexpr uint32_t DirectionIn = 1;
// Far above any transfer of the FTDI drivers; a header that announces more is garbage.
constexpr uint32_t MaximumTransferLength = 1 << 20;

constexpr uint32_t ReadEndpoint = 1;
constexpr uint32_t WriteEndpoint = 2;
constexpr size_t PacketSize = 64;
constexpr uint8_t DeviceToHost = 0x80;
constexpr uint8_t RequestTypeMask = 0x60;
constexpr uint8_t StandardRequestType = 0x00;
constexpr uint8_t VendorRequestType = 0x40;

uint32_t field(const QByteArray &message, int offset)
{
    return qFromBigEndian<uint32_t>(message.constData() + offset);
}

void setField(QByteArray &message, int offset, uint32_t value)
{
    qToBigEndian(value, message.data() + offset);
}

uint16_t setupField(const QByteArray &header, int offset)
{
    return qFromLittleEndian<uint16_t>(header.constData() + SetupOffset + offset);
}

QByteArray submitReturn(uint32_t seqnum, int status, uint32_t actualLength,
                        uint32_t numberOfPackets, const QByteArray &data = QByteArray())
{
    QByteArray message(HeaderLength, '\0');
    setField(message, CommandOffset, SubmitReturn);
    setField(message, SeqnumOffset, seqnum);
    setField(message, StatusOffset, uint32_t(status));
    setField(message, LengthOffset, actualLength);
    setField(message, NumberOfPacketsOffset, numberOfPackets);
    return message + data;
}

QByteArray busId(size_t index)
{
    return QByteArray::number(BusNumber) + "-" + QByteArray::number(quint64(index + 1));
}

// What OP_REP_IMPORT says of the device: where it sits on the exporting host, and the
// fields of its device descriptor that the importer shows before it enumerates it.
QByteArray deviceRecord(size_t index, const ChipIdentity &identity)
{
    char record[DeviceRecordLength] = {};
    const QByteArray id = busId(index);
    const QByteArray path = "/sys/devices/platform/usbip-sim/usb1/" + id;
    std::memcpy(record, path.constData(), size_t(path.size()));
    std::memcpy(record + PathLength, id.constData(), size_t(id.size()));
    char *numbers = record + NumbersOffset;
    qToBigEndian<uint32_t>(BusNumber, numbers);
    qToBigEndian<uint32_t>(uint32_t(index + 1), numbers + 4); // device number
    qToBigEndian<uint32_t>(FullSpeed, numbers + 8);
    qToBigEndian<uint16_t>(identity.vendorId, numbers + 12);
    qToBigEndian<uint16_t>(identity.productId, numbers + 14);
    qToBigEndian<uint16_t>(identity.bcdDevice, numbers + 16);
    // Class, subclass and protocol are the interface's; configuration 1 of 1, one interface.
    numbers[21] = 1;
    numbers[22] = 1;
    numbers[23] = 1;
    return QByteArray(record, DeviceRecordLength);
}

bool sendAll(int socket, const QByteArray &message)
{
    for (qint64 sent = 0; sent < message.size();) {
        const ssize_t count =
            send(socket, message.constData() + sent, size_t(message.size() - sent), MSG_NOSIGNAL);
        if (count < 0 && errno != EINTR)
            return false;
        sent += std::max<ssize_t>(count, 0);
    }
    return true;
}

} // namespace

UsbIpServer::UsbIpServer(VirtualClock &clock, const QString &imageDirectory)
    : m_clock(clock), m_imageDirectory(imageDirectory)
{
}

UsbIpServer::~UsbIpServer()
{
    for (Converter &converter : m_converters)
        disconnect(converter);
    for (const Connection &connection : m_connections)
        close(connection.socket);
    if (m_listener >= 0)
        close(m_listener);
}

bool UsbIpServer::listen(uint16_t port)
{
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listener < 0)
        return false;
    const int on = 1;
    setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 8) != 0 ||
        getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return false;
    m_port = ntohs(address.sin_port);
    return true;
}

SimulatedChip &UsbIpServer::addConverter(const ChipIdentity &identity)
{
    Converter converter;
    converter.chip = std::make_unique<SimulatedChip>(identity, m_clock);
    m_converters.push_back(std::move(converter));
    return *m_converters.back().chip;
}

void UsbIpServer::unplugAfter(int index, qint64 bytes)
{
    m_converters.at(size_t(index)).unplugAfter = bytes;
}

void UsbIpServer::serve()
{
    for (;;) {
        m_clock.catchUpWithRealTime();
        for (Converter &converter : m_converters)
            bringUpToDate(converter);

        std::vector<pollfd> sockets{{m_listener, POLLIN, 0}};
        for (const Connection &connection : m_connections)
            sockets.push_back({connection.socket, POLLIN, 0});
        for (const Converter &converter : m_converters) {
            if (converter.socket >= 0)
                sockets.push_back({converter.socket, POLLIN, 0});
        }
        const qint64 next = nextEvent();
        const int timeoutMs = next == SimulatedChip::Never
                                  ? -1
                                  : int(std::max<qint64>(next - m_clock.now() + 999, 0) / 1000);
        if (poll(sockets.data(), sockets.size(), timeoutMs) < 0 && errno != EINTR)
            qFatal("usbip server: poll failed: %s", strerror(errno));

        const auto ready = [&sockets](int socket) {
            return std::any_of(sockets.begin(), sockets.end(), [socket](const pollfd &polled) {
                return polled.fd == socket && polled.revents != 0;
            });
        };
        if (ready(m_listener))
            acceptConnection();
        // Handling a connection may end it or hand it to a converter.
        for (size_t i = m_connections.size(); i-- > 0;) {
            Connection &connection = m_connections[i];
            if (!ready(connection.socket))
                continue;
            if (receive(connection.socket, connection.received)) {
                handleImport(connection);
            } else {
                close(connection.socket);
                m_connections.erase(m_connections.begin() + long(i));
            }
        }
        for (Converter &converter : m_converters) {
            if (converter.socket < 0 || !ready(converter.socket))
                continue;
            if (receive(converter.socket, converter.received))
                handleCommands(converter);
            else
                disconnect(converter); // the guest detached it
        }
    }
}

// Runs the chip up to the present, answers the transfers that have ended by then, and
// writes the image of a bootloader that has given its verdict.
void UsbIpServer::bringUpToDate(Converter &converter)
{
    const qint64 now = m_clock.now();
    converter.chip->runUntil(now);
    // The chip fills its reads in the order they came.
    while (!converter.reads.empty() && converter.reads.front()->read.completed >= 0) {
        const std::unique_ptr<PendingRead> ended = std::move(converter.reads.front());
        converter.reads.pop_front();
        const auto received = uint32_t(ended->read.received);
        const uint32_t length = std::min(received, ended->requestedLength);
        // More than the transfer had room for is what a host controller reports as babble.
        const int status = received > ended->requestedLength ? -EOVERFLOW : 0;
        reply(converter,
              submitReturn(
                  ended->seqnum, status, length, ended->numberOfPackets,
                  QByteArray(reinterpret_cast<const char *>(ended->buffer.data()), int(length))));
    }
    while (!converter.writes.empty() && converter.writes.front().done <= now) {
        const PendingWrite ended = converter.writes.front();
        converter.writes.pop_front();
        reply(converter, submitReturn(ended.seqnum, 0, ended.length, ended.numberOfPackets));
    }
    const BootloaderEmulator &bootloader = converter.chip->bootloader();
    if (!bootloader.verdictSent().isEmpty() &&
        bootloader.startCount() != converter.imageWrittenForStart)
        writeImage(converter);
}

qint64 UsbIpServer::nextEvent() const
{
    qint64 next = SimulatedChip::Never;
    for (const Converter &converter : m_converters) {
        next = std::min(next, converter.chip->nextEvent());
        if (!converter.writes.empty())
            next = std::min(next, converter.writes.front().done);
    }
    return next;
}

void UsbIpServer::acceptConnection()
{
    const int socket = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (socket < 0)
        return;
    // Every URB is a small message that its sender waits for.
    const int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    m_connections.push_back({socket, QByteArray()});
}

// False when the peer has closed the connection. Never waits: a socket that poll() found
// ready may have been read already, when its connection became a converter's.
bool UsbIpServer::receive(int socket, QByteArray &received)
{
    char buffer[65536];
    const ssize_t count = recv(socket, buffer, sizeof buffer, MSG_DONTWAIT);
    if (count > 0)
        received.append(buffer, int(count));
    return count > 0 || (count < 0 && (errno == EAGAIN || errno == EINTR));
}

void UsbIpServer::handleImport(Connection &connection)
{
    const QByteArray &request = connection.received;
    const auto received = size_t(request.size());
    if (received < OperationHeaderLength)
        return;
    const bool isImport = qFromBigEndian<uint16_t>(request.constData() + 2) == ImportRequest;
    if (isImport && received < OperationHeaderLength + BusIdLength)
        return;
    const QByteArray wanted =
        isImport
            ? QByteArray(request.constData() + OperationHeaderLength,
                         int(qstrnlen(request.constData() + OperationHeaderLength, BusIdLength)))
            : QByteArray("(no import)");
    Converter *found = nullptr;
    size_t index = 0;
    for (; isImport && index < m_converters.size(); ++index) {
        if (busId(index) == wanted) {
            found = &m_converters[index];
            break;
        }
    }
    const bool available = found && found->socket < 0 && !found->unplugged;
    QByteArray answer(OperationHeaderLength, '\0');
    qToBigEndian(ProtocolVersion, answer.data());
    qToBigEndian(ImportReply, answer.data() + 2);
    qToBigEndian<uint32_t>(available ? 0 : 1, answer.data() + 4);
    if (available)
        answer += deviceRecord(index, found->chip->identity());
    const int socket = connection.socket;
    const QByteArray rest = request.mid(int(OperationHeaderLength + BusIdLength));
    m_connections.erase(std::find_if(m_connections.begin(), m_connections.end(),
                                     [socket](const Connection &c) { return c.socket == socket; }));
    if (!available || !sendAll(socket, answer)) {
        fprintf(stderr, "usbip server: refused to export %s\n", wanted.constData());
        close(socket);
        return;
    }
    found->socket = socket;
    found->received = rest;
    handleCommands(*found);
}

void UsbIpServer::handleCommands(Converter &converter)
{
    // Each command takes effect at the moment it arrives, on a chip brought up to then.
    m_clock.catchUpWithRealTime();
    bringUpToDate(converter);
    QByteArray &received = converter.received;
    while (converter.socket >= 0 && received.size() >= HeaderLength) {
        const uint32_t command = field(received, CommandOffset);
        const uint32_t dataLength =
            command == SubmitCommand && field(received, DirectionOffset) != DirectionIn
                ? field(received, LengthOffset)
                : 0;
        if ((command != SubmitCommand && command != UnlinkCommand) ||
            dataLength > MaximumTransferLength) {
            fprintf(stderr, "usbip server: garbage from %s\n",
                    converter.chip->identity().serialNumber.constData());
            disconnect(converter);
            return;
        }
        if (uint32_t(received.size()) < HeaderLength + dataLength)
            return;
        const QByteArray header = received.left(HeaderLength);
        const QByteArray data = received.mid(HeaderLength, int(dataLength));
        received.remove(0, HeaderLength + int(dataLength));
        if (command == SubmitCommand)
            submit(converter, header, data);
        else
            unlink(converter, header);
    }
}

void UsbIpServer::submit(Converter &converter, const QByteArray &header, const QByteArray &data)
{
    const uint32_t endpoint = field(header, EndpointOffset);
    const bool in = field(header, DirectionOffset) == DirectionIn;
    const uint32_t seqnum = field(header, SeqnumOffset);
    const uint32_t numberOfPackets = field(header, NumberOfPacketsOffset);
    if (endpoint == 0) {
        control(converter, header, data);
    } else if (endpoint == ReadEndpoint && in) {
        auto pending = std::make_unique<PendingRead>();
        pending->seqnum = seqnum;
        pending->requestedLength = std::min(field(header, LengthOffset), MaximumTransferLength);
        pending->numberOfPackets = numberOfPackets;
        // The chip sends whole packets; a transfer too short for the last one overflows.
        pending->buffer.resize(std::max<size_t>(
            (pending->requestedLength + PacketSize - 1) / PacketSize * PacketSize, PacketSize));
        pending->read = {pending->buffer.data(), int(pending->buffer.size()), 0, m_clock.now(), -1};
        converter.chip->queueRead(&pending->read);
        converter.reads.push_back(std::move(pending));
    } else if (endpoint == WriteEndpoint && !in) {
        const qint64 taken = converter.chip->takeFromHost(data);
        converter.writes.push_back(
            {seqnum, uint32_t(data.size()), numberOfPackets, std::max(taken, m_clock.now())});
        converter.bytesTaken += data.size();
        if (converter.unplugAfter >= 0 && converter.bytesTaken >= converter.unplugAfter) {
            fprintf(stderr, "usbip server: %s unplugged after %lld bytes\n",
                    converter.chip->identity().serialNumber.constData(),
                    static_cast<long long>(converter.bytesTaken));
            disconnect(converter);
            converter.unplugged = true;
        }
    } else {
        reply(converter, submitReturn(seqnum, -EPIPE, 0, numberOfPackets));
    }
}

void UsbIpServer::control(Converter &converter, const QByteArray &header, const QByteArray &data)
{
    const uint32_t seqnum = field(header, SeqnumOffset);
    const uint32_t numberOfPackets = field(header, NumberOfPacketsOffset);
    const auto requestType = uint8_t(header.at(SetupOffset));
    const auto request = uint8_t(header.at(SetupOffset + 1));
    const uint16_t value = setupField(header, 2);
    const uint16_t index = setupField(header, 4);
    const uint16_t length = setupField(header, 6);
    if (requestType & DeviceToHost) {
        const std::optional<QByteArray> answer =
            converter.chip->controlIn(requestType, request, value, index);
        if (!answer) {
            reply(converter, submitReturn(seqnum, -EPIPE, 0, numberOfPackets));
            return;
        }
        const QByteArray sent =
            answer->left(int(std::min<uint32_t>(length, field(header, LengthOffset))));
        reply(converter, submitReturn(seqnum, 0, uint32_t(sent.size()), numberOfPackets, sent));
        return;
    }
    switch (requestType & RequestTypeMask) {
    case VendorRequestType:
        if (converter.chip->control(request, value, index))
            break;
        reply(converter, submitReturn(seqnum, -EPIPE, 0, numberOfPackets));
        return;
    case StandardRequestType:
        // Choosing the only configuration or interface setting, clearing a halt: nothing
        // the chip model keeps. The guest's host controller sets the address itself.
        break;
    default:
        reply(converter, submitReturn(seqnum, -EPIPE, 0, numberOfPackets));
        return;
    }
    reply(converter, submitReturn(seqnum, 0, uint32_t(data.size()), numberOfPackets));
}

void UsbIpServer::unlink(Converter &converter, const QByteArray &header)
{
    const uint32_t unlinked = field(header, StatusOffset);
    int status = 0; // it has ended already, and its return is on its way
    const auto read =
        std::find_if(converter.reads.begin(), converter.reads.end(),
                     [unlinked](const auto &pending) { return pending->seqnum == unlinked; });
    const auto write = std::find_if(
        converter.writes.begin(), converter.writes.end(),
        [unlinked](const PendingWrite &pending) { return pending.seqnum == unlinked; });
    if (read != converter.reads.end()) {
        converter.chip->cancelRead(&(*read)->read);
        converter.reads.erase(read);
        status = -ECONNRESET;
    } else if (write != converter.writes.end()) {
        converter.writes.erase(write);
        status = -ECONNRESET;
    }
    QByteArray message(HeaderLength, '\0');
    setField(message, CommandOffset, UnlinkReturn);
    setField(message, SeqnumOffset, field(header, SeqnumOffset));
    setField(message, StatusOffset, uint32_t(status));
    reply(converter, message);
}

void UsbIpServer::reply(Converter &converter, const QByteArray &message)
{
    if (converter.socket >= 0 && !sendAll(converter.socket, message))
        disconnect(converter);
}

// The chip stays as it is, as a converter does when its cable is pulled; transfers in
// flight end with the connection.
void UsbIpServer::disconnect(Converter &converter)
{
    if (converter.socket < 0)
        return;
    close(converter.socket);
    converter.socket = -1;
    for (const auto &pending : converter.reads)
        converter.chip->cancelRead(&pending->read);
    converter.reads.clear();
    converter.writes.clear();
    converter.received.clear();
}

void UsbIpServer::writeImage(Converter &converter)
{
    const BootloaderEmulator &bootloader = converter.chip->bootloader();
    converter.imageWrittenForStart = bootloader.startCount();
    const QString serialNumber = QString::fromLatin1(converter.chip->identity().serialNumber);
    QSaveFile file(m_imageDirectory + "/" + serialNumber + ".bin");
    const QByteArray image = bootloader.image();
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size() || !file.commit())
        fprintf(stderr, "usbip server: cannot write the image of %s\n", qPrintable(serialNumber));
}

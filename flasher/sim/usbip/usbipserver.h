#ifndef USBIPSERVER_H
#define USBIPSERVER_H

#include "simulatedchip.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

class VirtualClock;

// Simulated FT232R chips exported over USB/IP, the kernel's own protocol
// (Documentation/usb/usbip_protocol.rst), so that a Linux kernel attaches them through its
// vhci-hcd driver and drives them with its real USB core, serial drivers and usbfs, as if
// they were plugged into it. The kernel stage of the tests boots a kernel under QEMU and
// attaches them from inside.
//
// The chips answer enumeration and the FTDI vendor requests, take bulk OUT transfers and
// fill bulk IN transfers as SimulatedChip does, in real time: the clock must have the
// RealTime pace. A cancelled transfer (USBIP_CMD_UNLINK) is dropped, and a transfer that
// ended before its cancel arrived is reported as done. Each time a bootloader behind a chip
// sends its verdict, the image it received is written to "SERIAL.bin" in the image
// directory, so that whoever flashed it can compare it byte for byte.
class UsbIpServer
{
public:
    UsbIpServer(VirtualClock &clock, const QString &imageDirectory);
    ~UsbIpServer();
    UsbIpServer(const UsbIpServer &) = delete;
    UsbIpServer &operator=(const UsbIpServer &) = delete;

    // On the loopback interface; port 0 takes a free one. False when that fails.
    bool listen(uint16_t port);
    uint16_t port() const { return m_port; }
    // Exported with the bus ID "1-N", N counting from 1 in the order added; the serial
    // number names the image file, so it must be a file name.
    SimulatedChip &addConverter(const ChipIdentity &identity);
    // Once the converter has taken this many bytes from the host in bulk transfers, it
    // disappears from the guest as if unplugged, and cannot be attached again.
    void unplugAfter(int index, qint64 bytes);
    // Serves the guests until the process ends.
    [[noreturn]] void serve();

private:
    struct PendingRead
    {
        uint32_t seqnum;
        uint32_t requestedLength;
        uint32_t numberOfPackets;
        std::vector<unsigned char> buffer;
        BulkRead read;
    };
    struct PendingWrite
    {
        uint32_t seqnum;
        uint32_t length;
        uint32_t numberOfPackets;
        qint64 done; // clock microseconds
    };
    struct Converter
    {
        std::unique_ptr<SimulatedChip> chip;
        int socket = -1; // while a guest has it attached
        QByteArray received;
        std::deque<std::unique_ptr<PendingRead>> reads;
        std::deque<PendingWrite> writes;
        qint64 bytesTaken = 0;
        qint64 unplugAfter = -1;
        bool unplugged = false;
        int imageWrittenForStart = 0;
    };
    // A connection that has not yet imported a converter.
    struct Connection
    {
        int socket;
        QByteArray received;
    };

    void bringUpToDate(Converter &converter);
    qint64 nextEvent() const;
    void acceptConnection();
    bool receive(int socket, QByteArray &received);
    void handleImport(Connection &connection);
    void handleCommands(Converter &converter);
    void submit(Converter &converter, const QByteArray &header, const QByteArray &data);
    void control(Converter &converter, const QByteArray &header, const QByteArray &data);
    void unlink(Converter &converter, const QByteArray &header);
    void reply(Converter &converter, const QByteArray &message);
    void disconnect(Converter &converter);
    void writeImage(Converter &converter);

    VirtualClock &m_clock;
    const QString m_imageDirectory;
    int m_listener = -1;
    uint16_t m_port = 0;
    std::vector<Converter> m_converters;
    std::vector<Connection> m_connections;
};

#endif // USBIPSERVER_H

#ifndef SIMULATEDCHIP_H
#define SIMULATEDCHIP_H

#include "simulatedadapter.h"

#include <QByteArray>

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <vector>

class VirtualClock;

// Who else uses a converter, as the operating system shows it.
enum class ConverterHolder
{
    Nobody,
    // Another program has claimed the USB interface, as libftdi1 does after detaching the
    // kernel's serial driver.
    UsbClaim,
    // The kernel's serial driver is bound, and another process has its tty open.
    OpenTty,
    // The kernel's serial driver is bound, and a running process holds a serial lock
    // file for its tty. proc does not show that process, as it shows no other user's
    // process when mounted with hidepid.
    TtyLock,
    // A lock file whose process has ended, as a crashed terminal program leaves behind.
    StaleTtyLock,
};

// What a simulated chip shows on the USB, and who else uses it.
struct ChipIdentity
{
    quint16 vendorId = 0x0403;
    quint16 productId = 0x6001;
    quint16 bcdDevice = 0x0600; // FT232R
    QByteArray manufacturer = "FTDI";
    QByteArray description = "Radio adapter";
    QByteArray serialNumber;
    ConverterHolder holder = ConverterHolder::Nobody;
    // The user may not open its USB device node (no udev rule, not in plugdev).
    bool accessDenied = false;
    // The port of the bus's root hub it is plugged into; 0 stands for its index + 1.
    int port = 0;
};

// What the host's vendor requests set. The defaults are the chip's after power-up; a test
// may change them beforehand, as another program that used the converter would have.
struct ChipSettings
{
    uint32_t baudRate = 9600;
    uint8_t latencyTimerMs = 16;
    uint8_t eventChar = 0x0D;
    bool eventCharEnabled = false;
};

// Transfers that the USB link spoils, each named by its number among the transfers of its
// kind to or from the chip, counted from 0 over the chip's life. A test sets them before
// the host starts, to see what the host makes of a flaky cable or a failing chip.
struct LinkFaults
{
    // Vendor requests that the chip stalls: it ignores them, and the host sees a failure.
    std::set<int> stalledRequests;
    // Bulk OUT transfers of which the chip takes only this many 64-byte packets; the rest
    // is refused until the transfer's time-out.
    std::map<int, int> shortWrites;
    // Bulk IN transfers that end with an error status instead of completing.
    std::set<int> failedReads;
};

// How a bulk IN transfer ended.
enum class ReadEnd
{
    Completed,
    Failed,  // a link error; the bytes that came before it are kept
    NoDevice // the chip was unplugged
};

// A bulk IN transfer on its way: the host controller fills it with the chip's packets,
// two modem status bytes followed by up to 62 received bytes each, until a short packet
// or a full buffer ends it.
struct BulkRead
{
    unsigned char *buffer = nullptr;
    int length = 0;
    int received = 0;
    qint64 submitted = 0;
    qint64 completed = -1; // virtual microseconds, -1 while pending
    ReadEnd end = ReadEnd::Completed;
};

// One FT232R with a SimulatedAdapter behind it, seen from its USB side, on the VirtualClock:
//
// - The chip sends received bytes to the host only as answers to bulk IN requests, in
//   packets: at once when 62 bytes are waiting or the event character (when enabled) has
//   arrived, else when its latency timer expires, with nothing but the status bytes when
//   nothing came. Each packet restarts the timer.
// - Bytes from the host enter a 128-byte transmit buffer, which drains at the line rate; a
//   bulk OUT transfer ends when the buffer has taken its last 64-byte packet. The adapter
//   gets the bytes of each transfer when the last of them has crossed the line.
// - The receive buffer holds 256 bytes; what arrives while it is full is lost.
// - CBUS0 in CBUS bit-bang mode drives the adapter's reset, active low.
// - Unplugged, it does nothing more, and its pending reads end at once.
//
// Nothing happens between the host's calls: runUntil() brings the chip up to the time of
// the next call, so the chip behaves as if its host controller had polled all along.
class SimulatedChip
{
public:
    static constexpr qint64 Never = SimulatedAdapter::Never;

    SimulatedChip(const ChipIdentity &identity, VirtualClock &clock);

    const ChipIdentity &identity() const { return m_identity; }
    BootloaderEmulator &bootloader() { return m_adapter.bootloader(); }
    ChipSettings &settings() { return m_settings; }
    LinkFaults &linkFaults() { return m_linkFaults; }
    // A chip that passes on fewer received bytes per packet than the 62 that fit, so that
    // replies reach the host in more pieces; a packet of fewer than 62 still ends a read.
    void setPacketPayloadLimit(int bytes);
    bool isPlugged() const { return m_plugged; }
    // CBUS0 holds the adapter in reset.
    bool isAdapterHeldInReset() const { return m_adapter.isResetAsserted(); }
    // Requests to release the adapter from its reset that the chip stalled since the host
    // last asked for the reset.
    int refusedReleases() const { return m_refusedReleases; }
    // SIO resets, as libftdi1 sends one when it opens the converter.
    int resetCount() const { return m_resetCount; }
    bool isDriverBound() const { return m_driverBound; }
    // By a handle of this process.
    bool isClaimed() const { return m_claimed; }
    // How often a handle of this process claimed it, however briefly.
    int claimCount() const { return m_claims; }
    // Handles of this process open on it, whether it is still plugged in or not.
    int openHandles() const { return m_openHandles; }
    // Counted over the chip's life: what crossed the serial line in each direction.
    qint64 bytesFromHost() const { return m_adapter.bytesFromHost(); }
    qint64 bytesToHost() const { return m_adapter.bytesToHost(); }
    // What the adapter sent, and when each bulk OUT transfer of the host reached the chip.
    const std::vector<SimulatedAdapter::Transmission> &transmissionsToHost() const
    {
        return m_adapter.transmissionsToHost();
    }
    const std::vector<qint64> &hostWriteTimes() const { return m_hostWriteTimes; }

    // Used by the simulated libusb, and from control() on by the USB/IP server, where the
    // guest's kernel keeps the driver and claim state itself.
    void setDriverBound(bool bound) { m_driverBound = bound; }
    void setClaimed(bool claimed)
    {
        m_claims += claimed ? 1 : 0;
        m_claimed = claimed;
    }
    void countHandles(int change) { m_openHandles += change; }
    // False when the chip stalls the request.
    bool control(uint8_t request, uint16_t value, uint16_t index);
    // A control request that asks the chip for data, as the chip answers it on the wire:
    // the standard descriptors and status, and the vendor requests for the modem status,
    // the latency timer and the EEPROM. Empty when the chip stalls the request; the host
    // takes no more than it asked for.
    std::optional<QByteArray> controlIn(uint8_t requestType, uint8_t request, uint16_t value,
                                        uint16_t index) const;
    // How many bytes of a bulk OUT transfer of this length the chip will take.
    int acceptedLength(int length);
    // Returns the time at which the chip has taken the last packet.
    qint64 takeFromHost(const QByteArray &bytes);
    void queueRead(BulkRead *read) { m_reads.push_back(read); }
    // Whether the read was still pending.
    bool cancelRead(BulkRead *read);
    void runUntil(qint64 time);
    qint64 nextEvent() const;
    void unplug();

private:
    qint64 wireTime(qint64 bytes) const;
    qint64 nextPacket() const;
    // Since the event character makes the chip send at once, when it arrives matters.
    qint64 eventCharArrival() const;
    void sendPacket(qint64 time);
    void absorbArrivals(qint64 time);

    ChipIdentity m_identity;
    VirtualClock &m_clock;
    SimulatedAdapter m_adapter;
    ChipSettings m_settings;
    LinkFaults m_linkFaults;
    int m_requests = 0;
    int m_writes = 0;
    int m_endedReads = 0;
    size_t m_payloadLimit;
    bool m_plugged = true;
    bool m_driverBound;
    bool m_claimed = false;
    int m_claims = 0;
    int m_openHandles = 0;
    int m_refusedReleases = 0;
    int m_resetCount = 0;

    std::deque<char> m_receiveBuffer;
    std::vector<qint64> m_hostWriteTimes;
    std::deque<BulkRead *> m_reads;
    qint64 m_lastPacket = 0;
};

#endif // SIMULATEDCHIP_H

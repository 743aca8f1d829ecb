#include "simulatedmoduna.h"

#include "virtualclock.h"

#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

SimulatedModuna *activeModuna = nullptr;

const char *const Chip = "sim";
const char *const Line = "0";
// The flasher's; a pseudo-terminal itself has no line rate.
constexpr uint32_t BaudRate = 38400;
// How often the serving thread looks whether the host has opened the port again.
constexpr int HostLookMs = 2;

} // namespace

SimulatedModuna::SimulatedModuna(VirtualClock &clock) : m_clock(clock)
{
    if (activeModuna)
        qFatal("SimulatedModuna: only one may exist at a time");
    // Raw from the start, as a UART is: QSerialPort puts back the settings that it found
    // when it closes the port, and a terminal's default cooked mode would echo.
    termios raw{};
    cfmakeraw(&raw);
    char name[256] = {};
    int slave = -1;
    if (openpty(&m_master, &slave, name, &raw, nullptr) != 0 || pipe(m_stopPipe) != 0 ||
        fcntl(m_master, F_SETFL, O_NONBLOCK) != 0)
        qFatal("SimulatedModuna: no pseudo-terminal: %s", std::strerror(errno));
    // The pair lives on with the master, and the master hangs up whenever no slave is
    // open: that is how the module sees the host close the port.
    close(slave);
    m_portName = QString::fromLocal8Bit(name);
    m_realTime.start();
    activeModuna = this;
    m_server = std::thread(&SimulatedModuna::serve, this);
}

SimulatedModuna::~SimulatedModuna()
{
    const char stop = 0;
    if (write(m_stopPipe[1], &stop, 1) != 1)
        qFatal("SimulatedModuna: cannot stop the serving thread");
    m_server.join();
    activeModuna = nullptr;
    for (const int descriptor : {m_master, m_stopPipe[0], m_stopPipe[1]})
        close(descriptor);
}

SimulatedModuna &SimulatedModuna::active()
{
    if (!activeModuna)
        qFatal("SimulatedModuna: a GPIO call was made without a SimulatedModuna");
    return *activeModuna;
}

void SimulatedModuna::setScript(const BootloaderScript &script)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_adapter.bootloader().script() = script;
}

BootloaderEmulator SimulatedModuna::bootloader() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_adapter.bootloader();
}

qint64 SimulatedModuna::bytesFromHost() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_adapter.bytesFromHost();
}

qint64 SimulatedModuna::bytesToHost() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_adapter.bytesToHost();
}

QList<SimulatedModuna::ResetLineChange> SimulatedModuna::resetLineChanges() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_resetLineChanges;
}

QByteArray SimulatedModuna::resetLineConsumer() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_consumer;
}

int SimulatedModuna::requestResetLine(const char *chip, const char *line, const char *consumer,
                                      int level)
{
    if (std::strcmp(chip, Chip) != 0 || std::strcmp(line, Line) != 0)
        return ENOENT;
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_lineRequested)
        return EBUSY;
    m_lineRequested = true;
    m_consumer = consumer;
    driveResetPin(level);
    return 0;
}

int SimulatedModuna::setResetLine(int level)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_lineRequested)
        return EPERM;
    driveResetPin(level);
    return 0;
}

void SimulatedModuna::releaseResetLine()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_lineRequested = false;
    // The pin keeps its level.
    m_resetLineChanges.append({m_clock.now(), ReleasedLine});
}

void SimulatedModuna::driveResetPin(int level)
{
    m_resetLineChanges.append({m_clock.now(), level});
    // The host resets the module with the port closed, and may open it again before the
    // serving thread has looked.
    followHost();
    m_adapter.setResetLine(level != 0, realNow());
}

void SimulatedModuna::followHost()
{
    pollfd master{m_master, 0, 0};
    const bool hostHasPort = poll(&master, 1, 0) == 0 || !(master.revents & POLLHUP);
    if (m_hostHasPort && !hostHasPort) {
        // A pseudo-terminal keeps what the host left unread for the next opener, where a
        // UART's driver would have dropped it on close.
        const int slave =
            open(m_portName.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (slave >= 0) {
            tcflush(slave, TCIFLUSH);
            close(slave);
        }
    }
    m_hostHasPort = hostHasPort;
}

void SimulatedModuna::serve()
{
    for (;;) {
        int timeoutMs = -1;
        bool hostHasPort = false;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            followHost();
            deliverDueBytes();
            timeoutMs = millisecondsToNextDelivery();
            hostHasPort = m_hostHasPort;
        }
        // Without a slave open the master reports its hang-up at once, so then the thread
        // looks for the host's return every few milliseconds instead of waiting on it.
        if (!hostHasPort)
            timeoutMs = timeoutMs < 0 ? HostLookMs : std::min(timeoutMs, HostLookMs);
        pollfd descriptors[] = {{m_stopPipe[0], POLLIN, 0}, {m_master, POLLIN, 0}};
        if (poll(descriptors, hostHasPort ? 2 : 1, timeoutMs) < 0 && errno != EINTR)
            qFatal("SimulatedModuna: poll failed: %s", std::strerror(errno));
        if (descriptors[0].revents != 0)
            return;
        // What the host wrote before closing the port has left it all the same.
        char buffer[4096];
        const ssize_t count = read(m_master, buffer, sizeof buffer);
        if (count > 0) {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_adapter.sendToAdapter(QByteArray(buffer, int(count)), realNow(), BaudRate);
        }
    }
}

void SimulatedModuna::deliverDueBytes()
{
    const qint64 now = realNow();
    m_adapter.deliverToAdapter(now, BaudRate);
    const QByteArray bytes = m_adapter.takeArrived(now, m_adapter.transmittedBy(now));
    if (!m_hostHasPort || bytes.isEmpty())
        return;
    // Non-blocking: what does not fit while the host does not read is lost, as it is when
    // a UART's receive buffer overflows.
    if (write(m_master, bytes.constData(), size_t(bytes.size())) < 0 && errno != EAGAIN &&
        errno != EIO)
        qFatal("SimulatedModuna: cannot write to the host: %s", std::strerror(errno));
}

int SimulatedModuna::millisecondsToNextDelivery() const
{
    const qint64 next = std::min(m_adapter.nextArrivalAtAdapter(), m_adapter.nextTransmissionEnd());
    if (next == SimulatedAdapter::Never)
        return -1;
    // Rounded up, so that the delivery is due when poll returns.
    return int(std::clamp<qint64>((next - realNow() + 999) / 1000, 0, INT_MAX));
}

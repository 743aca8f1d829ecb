#ifndef SIMULATEDMODUNA_H
#define SIMULATEDMODUNA_H

#include "simulatedadapter.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QString>

#include <mutex>
#include <thread>

class VirtualClock;

// The Moduna radio module of a single-board computer: its UART is the far side of a
// pseudo-terminal, where a SimulatedAdapter answers, and its reset pin hangs on line 0
// of the GPIO chip "sim", which the simulated GPIO calls (gpioline_sim.cpp) reach while
// an object of this class exists (one at a time; a GPIO call without one aborts the
// test). A test sets up:
//
//     VirtualClock clock;                        // the flasher's sleeps advance it
//     SimulatedModuna moduna(clock);
//     moduna.setScript(script);
//     setModunaPaths({QString(), moduna.portName()});
//
// then runs the flasher with "-gpio sim:0", and afterwards inspects bootloader() and
// resetLineChanges().
//
// The reset line's changes are recorded on the VirtualClock that the flasher sleeps on.
// The serial side keeps real time, since the flasher's waits on a serial port are real: a
// thread serves the pseudo-terminal, hands the host's bytes to the bootloader once they
// would have crossed a 38400-baud line, and delivers each transmission whole once its last
// byte has arrived, so that the host finds it complete however its sleeps fall on the
// virtual clock. As a UART's driver would, it delivers nothing while the host has the port
// closed, drops what the host did not read before it closed the port, and drops what
// overflows the port's buffer while the host does not read.
class SimulatedModuna
{
public:
    static constexpr int ReleasedLine = -1;
    // A level that the host gave the reset line (requesting it included), or its release.
    struct ResetLineChange
    {
        qint64 time; // virtual microseconds
        int level;   // 0, 1 or ReleasedLine
    };

    explicit SimulatedModuna(VirtualClock &clock);
    ~SimulatedModuna();
    SimulatedModuna(const SimulatedModuna &) = delete;
    SimulatedModuna &operator=(const SimulatedModuna &) = delete;

    static SimulatedModuna &active();

    // What the host opens: the pseudo-terminal's slave device.
    QString portName() const { return m_portName; }
    void setScript(const BootloaderScript &script);
    // A copy, taken while the serving thread waits.
    BootloaderEmulator bootloader() const;
    // Counted over the module's life: what crossed its UART in each direction.
    qint64 bytesFromHost() const;
    qint64 bytesToHost() const;
    QList<ResetLineChange> resetLineChanges() const;
    // Who requested the reset line last.
    QByteArray resetLineConsumer() const;

    // Used by the simulated GPIO calls; 0 or an errno value.
    int requestResetLine(const char *chip, const char *line, const char *consumer, int level);
    int setResetLine(int level);
    void releaseResetLine();

private:
    // Real microseconds since construction: the time of the adapter's serial lines.
    qint64 realNow() const { return m_realTime.nsecsElapsed() / 1000; }
    void driveResetPin(int level);
    void followHost();
    void serve();
    void deliverDueBytes();
    int millisecondsToNextDelivery() const;

    VirtualClock &m_clock;
    QString m_portName;
    int m_master = -1; // non-blocking
    int m_stopPipe[2] = {-1, -1};
    QElapsedTimer m_realTime;

    mutable std::mutex m_mutex; // guards everything below against the serving thread
    SimulatedAdapter m_adapter;
    bool m_hostHasPort = false;
    bool m_lineRequested = false;
    QList<ResetLineChange> m_resetLineChanges;
    QByteArray m_consumer;

    std::thread m_server; // started last, stopped first
};

#endif // SIMULATEDMODUNA_H

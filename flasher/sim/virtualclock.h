#ifndef VIRTUALCLOCK_H
#define VIRTUALCLOCK_H

#include <QElapsedTimer>
#include <QtGlobal>

// Simulated time for tests, the benchmark and brennix-sim. While a VirtualClock exists,
// every FlasherClock::sleepMilliseconds() advances it, FlasherClock::nowMicroseconds()
// reads it, and the simulated converters advance it by the wire time of what the host
// writes. Create one per test, before the SimulatedFtdi that uses it; only one may exist
// at a time.
//
// An Instant clock advances at once, so that tests check the slow paths without waiting.
// A RealTime clock keeps in step with the real clock, so that a simulated converter talks
// at the pace of a real one: time that passes outside the simulation (start-up, computing)
// passes for it too, and an advance waits until real time has caught up, so that a sleep
// lasts as long as it says and bytes take their wire time.
class VirtualClock
{
public:
    enum class Pace
    {
        Instant,
        RealTime
    };

    explicit VirtualClock(Pace pace = Pace::Instant);
    ~VirtualClock();
    VirtualClock(const VirtualClock &) = delete;
    VirtualClock &operator=(const VirtualClock &) = delete;

    // Microseconds since the clock was created.
    qint64 now() const { return m_now; }
    void advance(qint64 microseconds);
    // For an owner that waits on its own (a server polling its sockets) rather than
    // through advance(): brings a RealTime clock up to real time, so that the time waited
    // has passed for the simulation too. An Instant clock stays where it is.
    void catchUpWithRealTime();

private:
    qint64 realNow() const { return m_realTime.nsecsElapsed() / 1000; }

    qint64 m_now = 0;
    const Pace m_pace;
    QElapsedTimer m_realTime; // started with the clock
};

#endif // VIRTUALCLOCK_H

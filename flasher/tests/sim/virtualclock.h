#ifndef VIRTUALCLOCK_H
#define VIRTUALCLOCK_H

#include <QtGlobal>

// Simulated time for tests and the benchmark. While a VirtualClock exists, every
// FlasherClock::sleepMilliseconds() advances it at once instead of blocking, and the
// simulated converters advance it by the wire time of what the host writes. Create one
// per test, before the SimulatedFtdi that uses it; only one may exist at a time.
class VirtualClock
{
public:
    VirtualClock();
    ~VirtualClock();
    VirtualClock(const VirtualClock &) = delete;
    VirtualClock &operator=(const VirtualClock &) = delete;

    // Microseconds since the clock was created.
    qint64 now() const { return m_now; }
    void advance(qint64 microseconds);

private:
    qint64 m_now = 0;
};

#endif // VIRTUALCLOCK_H

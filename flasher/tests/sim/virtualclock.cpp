#include "virtualclock.h"

#include "clock.h"

namespace {

VirtualClock *installedClock = nullptr;

void virtualSleep(int milliseconds)
{
    installedClock->advance(qint64(milliseconds) * 1000);
}

} // namespace

VirtualClock::VirtualClock()
{
    if (installedClock)
        qFatal("VirtualClock: only one clock may be installed at a time");
    installedClock = this;
    FlasherClock::setSleepFunction(virtualSleep);
}

VirtualClock::~VirtualClock()
{
    FlasherClock::setSleepFunction(nullptr);
    installedClock = nullptr;
}

void VirtualClock::advance(qint64 microseconds)
{
    // A negative sleep does not wind time back, just as a real one returns at once.
    if (microseconds > 0)
        m_now += microseconds;
}

#include "virtualclock.h"

#include "clock.h"

#include <QThread>

#include <algorithm>

namespace {

VirtualClock *installedClock = nullptr;

void virtualSleep(int milliseconds)
{
    installedClock->advance(qint64(milliseconds) * 1000);
}

int64_t virtualNow()
{
    return installedClock->now();
}

} // namespace

VirtualClock::VirtualClock(Pace pace) : m_pace(pace)
{
    if (installedClock)
        qFatal("VirtualClock: only one clock may be installed at a time");
    installedClock = this;
    FlasherClock::install(virtualSleep, virtualNow);
    m_realTime.start();
}

VirtualClock::~VirtualClock()
{
    FlasherClock::install(nullptr, nullptr);
    installedClock = nullptr;
}

void VirtualClock::advance(qint64 microseconds)
{
    // A negative sleep does not wind time back, just as a real one returns at once.
    if (microseconds <= 0)
        return;
    if (m_pace == Pace::Instant) {
        m_now += microseconds;
        return;
    }
    m_now = std::max(m_now, realNow()) + microseconds;
    const qint64 ahead = m_now - realNow();
    if (ahead > 0)
        QThread::usleep(static_cast<unsigned long>(ahead));
}

void VirtualClock::catchUpWithRealTime()
{
    if (m_pace == Pace::RealTime)
        m_now = std::max(m_now, realNow());
}

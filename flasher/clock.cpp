#include "clock.h"

#include <QThread>

#include <chrono>

namespace FlasherClock {
namespace {

void realSleep(int milliseconds)
{
    if (milliseconds > 0)
        QThread::msleep(static_cast<unsigned long>(milliseconds));
}

int64_t realNow()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

SleepFunction currentSleep = realSleep;
NowFunction currentNow = realNow;

} // namespace

void sleepMilliseconds(int milliseconds)
{
    currentSleep(milliseconds);
}

int64_t nowMicroseconds()
{
    return currentNow();
}

void install(SleepFunction sleep, NowFunction now)
{
    currentSleep = sleep ? sleep : realSleep;
    currentNow = now ? now : realNow;
}

} // namespace FlasherClock

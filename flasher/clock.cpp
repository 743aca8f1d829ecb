#include "clock.h"

#include <QThread>

namespace FlasherClock {
namespace {

void realSleep(int milliseconds)
{
    if (milliseconds > 0)
        QThread::msleep(static_cast<unsigned long>(milliseconds));
}

SleepFunction currentSleep = realSleep;

} // namespace

void sleepMilliseconds(int milliseconds)
{
    currentSleep(milliseconds);
}

void setSleepFunction(SleepFunction function)
{
    currentSleep = function ? function : realSleep;
}

} // namespace FlasherClock

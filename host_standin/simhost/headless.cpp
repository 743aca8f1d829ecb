#include "headless.h"

#include <QEventLoop>
#include <QTimer>

#include <cstdio>

namespace Headless {

void runEventsFor(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

void printLine(const QString &line)
{
    std::fprintf(stdout, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

void printError(const QString &message)
{
    std::fprintf(stderr, "halvik-simhost: %s\n", message.toLocal8Bit().constData());
}

} // namespace Headless

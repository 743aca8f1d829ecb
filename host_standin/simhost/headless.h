#ifndef HEADLESS_H
#define HEADLESS_H

#include <QString>

// What the headless modes share: waiting while the event loop runs the network and the
// plug-ins, and printing through the same C stream as DBG_Printf, so that the plug-ins' lines
// and ours come out in the order they happened.
namespace Headless {

void runEventsFor(int milliseconds);
void printLine(const QString &line);
void printError(const QString &message);

} // namespace Headless

#endif // HEADLESS_H

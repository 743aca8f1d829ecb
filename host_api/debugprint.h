#ifndef DEBUGPRINT_H
#define DEBUGPRINT_H

#include <QtGlobal>

// Formats like printf and writes the text unchanged to standard output, flushed at once;
// with a handler installed (see Halvik::setDebugPrintHandler) the handler receives the
// formatted text instead. The level is passed on to the handler; standard output gets every
// level. Safe to call from any thread; a null format prints nothing.
extern "C" void DBG_Printf(int level, const char *format, ...) Q_ATTRIBUTE_FORMAT_PRINTF(2, 3);

namespace Halvik {

// Receives the level and the NUL-terminated formatted text of each DBG_Printf call.
using DebugPrintHandler = void (*)(int level, const char *text);

// Installs the handler for the whole process and returns the one it replaces; null restores
// printing to standard output. A test host captures the plug-ins' output this way.
DebugPrintHandler setDebugPrintHandler(DebugPrintHandler handler);

} // namespace Halvik

#endif // DEBUGPRINT_H

#ifndef DEVICETEXT_H
#define DEVICETEXT_H

#include <QByteArray>

// Text that a device chose (USB string descriptors, what an adapter sends, the name of a
// process that holds a converter) made safe to show on a terminal: control characters
// and bytes that are not UTF-8 appear as escapes such as "\x1b" and "\r", so that the
// device can neither clear the screen, retitle the window, ring the bell nor overwrite
// what was printed before. Printable text, UTF-8 included, stays as it is.
enum class LineEnds
{
    Escaped, // a field of a table: one line, whatever the device put in it
    Kept     // a device's own lines: a line feed, or a carriage return before it, ends a line
};

QByteArray visibleText(const char *text, int length, LineEnds lineEnds);
QByteArray visibleText(const char *text, LineEnds lineEnds); // up to its NUL

#endif // DEVICETEXT_H

#ifndef WEFTPLUGINPRIVATE_H
#define WEFTPLUGINPRIVATE_H

#include <QString>
#include <QStringList>

class QFileSystemWatcher;
class QTimer;

// State of one WeftPlugin. A rebuild runs to its end inside one timer tick on one thread,
// which is what lets every nesting level and the manifest pass share the one line buffer.
class WeftPluginPrivate
{
public:
    static constexpr int lineSize = 8192;

    bool busy = false;
    QTimer *timer = nullptr;
    QFileSystemWatcher *watcher = nullptr;
    QString appDir;
    QString srcDir;
    QString manifestName;
    QStringList cacheFiles;
    // Includes followed so far for the page being built.
    int includesInPage = 0;
    // Nesting level of the include being processed; 0 while a page template is read.
    int includeDepth = 0;
    // One NUL-terminated line of the file being read; a NUL inside a line ends it. Last in the
    // record, so that AddressSanitizer's guard zone after the heap block borders it directly.
    char line[lineSize] = {};
};

#endif // WEFTPLUGINPRIVATE_H

#ifndef WEFTPLUGINPRIVATE_H
#define WEFTPLUGINPRIVATE_H

#include <QHash>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>

class QFileSystemWatcher;
class QTimer;

// Device and inode of a file: what a path such as /proc/self/fd/N leads to even when the
// file has no name.
using FileId = QPair<quint64, quint64>;

// State of one WeftPlugin. A rebuild runs to its end inside one timer tick on one thread,
// which is what lets every nesting level and the manifest pass share the one line buffer.
class WeftPluginPrivate
{
public:
    static constexpr int lineSize = 8192;
    // Deep enough for any real page; a template that includes itself stops here.
    static constexpr int maxIncludeDepth = 16;
    // The depth limit alone lets a file that includes itself twice expand 2^16 times; this
    // bounds what one page can cost.
    static constexpr int maxIncludesPerPage = 256;

    bool busy = false;
    QTimer *timer = nullptr;
    QFileSystemWatcher *watcher = nullptr;
    QString appDir;
    QString srcDir;
    QString manifestName;
    QStringList cacheFiles;
    // Set when a file of the page being built could not be read to its end, or stopped at an
    // invalid include.
    bool pageCutShort = false;
    // Canonical paths of the pages this rebuild writes and of the files it has read so far:
    // nothing written is read, and nothing read is replaced by the manifest.
    QSet<QString> outputs;
    QSet<QString> inputs;
    // The files this rebuild has opened for writing, also while they are unnamed temporary
    // files.
    QSet<FileId> written;
    // The canonical path of each file opened for reading, by the path it was opened under:
    // pages refer to the same few assets again and again.
    QHash<QString, QString> canonicalPaths;
    // Includes followed so far for the page being built.
    int includesInPage = 0;
    // Nesting level of the include being processed; 0 while a page template is read.
    int includeDepth = 0;
    // One NUL-terminated line of the file being read; a NUL inside a line ends it. Last in the
    // record, so that AddressSanitizer's guard zone after the heap block borders it directly.
    char line[lineSize] = {};
};

#endif // WEFTPLUGINPRIVATE_H

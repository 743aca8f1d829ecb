#ifndef WEFTPLUGINPRIVATE_H
#define WEFTPLUGINPRIVATE_H

#include "servedfile.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <openssl/types.h>

#include <memory>
#include <vector>

class QFileSystemWatcher;
class QTimer;

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

    // What one rebuild keeps from its start to its end. Each output's place is worked out
    // once; the pages' places at the start, so that nothing served there is read.
    QSet<QPair<FileId, QByteArray>> pagePlaces;
    // The files served at the pages' places and the rebuild's temporary files: none is read,
    // or a page would grow from what it is writing.
    QSet<FileId> written;
    // The files read: the manifest replaces none of them.
    QSet<FileId> inputs;
    // The directories written to, by path, each with its descriptor.
    QHash<QString, ServedPlace> directories;
    // Pages and the manifest, written whole, waiting to be put in place together.
    std::vector<std::unique_ptr<ServedFile>> finished;
    // Whether a device holds one of the kernel's virtual file systems.
    QHash<quint64, bool> virtualFileSystems;
    // The manifest entries and the watched paths of the references met so far.
    QSet<QString> versionedEntries;
    QSet<QString> versionedPaths;
    // An input that grew or shrank while it was read: notifications are ignored until the
    // quiet period ends, so the rebuild itself asks for the next one.
    QString changedInput;

    // What versioned assets are read into, one after the other.
    QByteArray assetBuffer;
    // SHA-1 of libcrypto, which uses the processor's SHA instructions where it has them.
    EVP_MD *sha1 = nullptr;
    EVP_MD_CTX *digest = nullptr;

    // Includes followed so far for the page being built.
    int includesInPage = 0;
    // Nesting level of the include being processed; 0 while a page template is read.
    int includeDepth = 0;
    // One NUL-terminated line of the file being read; a NUL inside a line ends it. Last in the
    // record, so that AddressSanitizer's guard zone after the heap block borders it directly.
    char line[lineSize] = {};
};

#endif // WEFTPLUGINPRIVATE_H

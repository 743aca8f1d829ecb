// One rebuild of a small web app whose files come from the input. The input is split at
// the byte 0x1e (ASCII record separator) into four parts; missing parts are empty, parts
// after the fourth are ignored:
//
//   1. the page template, site/www-src/index.html
//   2. an include file, site/www-src/part.inc
//   3. the manifest source, site/www-src/app.appcache
//   4. an asset, written as both site/www/style.css and site/www/app.js
//
// The rebuild must end; it must change nothing but the files it writes, the page and the
// manifest, and the manifest only where it is neither an input file nor the page (everything
// else under the temporary root stays byte for byte as it was, and no temporary file is left;
// the page is the very file written for it, whatever the manifest's name); it must write the
// page unless an invalid include or a failed read cut it short; what it writes must stay within the
// bounds below; and it must keep within the plug-in's line buffer. The buffer ends the plug-in's
// private record, so ASan's guard zone after the record catches an overrun; what lies just before
// it, the include depth, must be back at 0 after each rebuild, and the buffer must still hold its
// terminating NUL.

#include "../weftplugin.h"
#include "../weftpluginprivate.h"

#include <halvik.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QPluginLoader>
#include <QTemporaryDir>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/resource.h>
#include <sys/stat.h>

namespace {

constexpr char partSeparator = '\x1e';
const char *const partFiles[] = {"site/www-src/index.html", "site/www-src/part.inc",
                                 "site/www-src/app.appcache"};
const char *const assetFiles[] = {"site/www/style.css", "site/www/app.js"};
const QString pageFile = QStringLiteral("site/www/index.html");
// Far above what an input can make the rebuild write, which the bounds below tell.
constexpr rlim_t maxFileSize = 1 << 30;

void require(bool condition, const char *invariant)
{
    if (condition)
        return;
    std::fprintf(stderr, "broken invariant: %s\n", invariant);
    std::abort();
}

// An explicit instantiation may name a private member; this gives the fuzzer the address of
// the plug-in's private record without a hook in the plug-in.
using RecordMember = WeftPluginPrivate *WeftPlugin::*;
RecordMember recordMember();
template <RecordMember member> struct RecordAccess
{
    friend RecordMember recordMember() { return member; }
};
template struct RecordAccess<&WeftPlugin::d>;

// UBSan's check of the cast would need the plug-in's type information, which only the
// plug-in has.
__attribute__((no_sanitize("vptr"))) WeftPluginPrivate *recordOf(QObject *plugin)
{
    return static_cast<WeftPlugin *>(plugin)->*recordMember();
}

// The inode of the file at path; 0 when there is none.
quint64 inodeOf(const QString &path)
{
    struct stat status;
    return stat(QFile::encodeName(path).constData(), &status) == 0 ? quint64(status.st_ino) : 0;
}

// Bytes that this process has read so far, from whatever it read: an include reached
// through ../ may be any file of the system.
qint64 bytesRead()
{
    QFile io(QStringLiteral("/proc/self/io"));
    require(io.open(QIODevice::ReadOnly), "/proc/self/io can be read");
    for (const QByteArray &line : io.readAll().split('\n'))
        if (line.startsWith("rchar: "))
            return line.mid(7).toLongLong();
    require(false, "/proc/self/io counts the bytes read");
    return 0;
}

// What the plug-in prints is dropped, except that a rebuild has started, and what keeps the
// page from being served: an invalid include, or reads that failed (through ../, a file may
// claim more than it delivers). When the page's template has been opened, the page's file is
// being written: it is the one file in the served directory that was not written with the
// input, and the page must be that same file after the rebuild, however the manifest is named.
bool rebuildStarted = false;
bool invalidInclude = false;
bool readFailed = false;
QString servedDir;
quint64 pageFileInode = 0;

quint64 newServedFileInode()
{
    QStringList added = QDir(servedDir).entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const char *asset : assetFiles)
        added.removeOne(QFileInfo(QLatin1String(asset)).fileName());
    return added.size() == 1 ? inodeOf(servedDir + '/' + added.first()) : 0;
}

void dropPrint(int, const char *text)
{
    if (std::strncmp(text, "process templates ", 18) == 0) {
        rebuildStarted = true;
    } else if (std::strncmp(text, "invalid include file\n", 21) == 0) {
        invalidInclude = true;
    } else if (std::strncmp(text, "readLine ", 9) == 0) {
        readFailed = true;
    } else if (std::strncmp(text, "process ", 8) == 0 && !pageFileInode) {
        pageFileInode = newServedFileInode();
    }
}

class FuzzHost : public Halvik::ApsController
{
public:
    QString stringParameter(int parameter) override
    {
        return parameter == WebAppDirectory ? appDir : QString();
    }
    QString appDir;
};

// Every file and directory under root: relative path, content (null for a directory).
using Tree = QMap<QString, QByteArray>;

Tree treeOf(const QString &root)
{
    Tree tree;
    const QDir base(root);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        tree.insert(base.relativeFilePath(path),
                    it.fileInfo().isDir() || !file.open(QIODevice::ReadOnly) ? QByteArray()
                                                                             : file.readAll());
    }
    return tree;
}

bool isInputFile(const QString &path)
{
    for (const char *file : partFiles)
        if (path == QLatin1String(file))
            return true;
    for (const char *file : assetFiles)
        if (path == QLatin1String(file))
            return true;
    return false;
}

// The files the rebuild may write, relative to the root: its page, and its manifest where
// that replaces neither an input file nor the page (empty otherwise).
struct WrittenFiles
{
    QString page = pageFile;
    QString manifest;
};

WrittenFiles writtenFiles(const WeftPluginPrivate &record)
{
    WrittenFiles written;
    const QString manifest = QDir::cleanPath("site/www/" + record.manifestName);
    if (!record.manifestName.isEmpty() && !isInputFile(manifest) && manifest != pageFile)
        written.manifest = manifest;
    return written;
}

Tree without(Tree tree, const WrittenFiles &written)
{
    tree.remove(written.page);
    tree.remove(written.manifest);
    return tree;
}

// Every line of the page is one that the rebuild read, and it grows at most by the meta line
// that follows a "<head>" (85 bytes after at least 6), so the page stays below 16 times what
// the rebuild read. The manifest is its source with the entries inserted at most once after
// each of its lines.
bool withinBounds(const Tree &after, const WeftPluginPrivate &record, qint64 read)
{
    qint64 entryBytes = 0;
    for (const QString &entry : record.cacheFiles)
        entryBytes += entry.toLocal8Bit().size() + 1;
    const qint64 pageBound = 16 * read;
    const qint64 manifestBound = read + (read + 1) * (entryBytes + 2);
    const WrittenFiles written = writtenFiles(record);
    return after.value(written.page).size() <= pageBound &&
           after.value(written.manifest).size() <= manifestBound;
}

// The plug-in, loaded once: a fresh load per input costs more than the rebuild itself.
struct Fixture
{
    Fixture() : loader(QStringLiteral(WEFT_PLUGIN_PATH))
    {
        require(root.isValid(), "a temporary directory can be created");
        // A page that reads what it writes grows until the disk is full; this makes it fail
        // its write (and so break an invariant) instead.
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit fileSize{maxFileSize, maxFileSize};
        require(setrlimit(RLIMIT_FSIZE, &fileSize) == 0, "file sizes can be limited");
        host.appDir = root.filePath(QStringLiteral("site/www"));
        servedDir = host.appDir;
        Halvik::setDebugPrintHandler(dropPrint);
        plugin = loader.instance();
        require(plugin, "the plug-in loads");
        record = recordOf(plugin);
        require(record->line + WeftPluginPrivate::lineSize ==
                    reinterpret_cast<const char *>(record + 1),
                "the line buffer ends the record");
    }

    void writeApp(const QByteArrayList &parts)
    {
        QDir(root.filePath(QStringLiteral("site"))).removeRecursively();
        QDir(root.path()).mkpath(QStringLiteral("site/www"));
        QDir(root.path()).mkpath(QStringLiteral("site/www-src"));
        for (int i = 0; i < 3; ++i)
            write(partFiles[i], parts.value(i));
        for (const char *asset : assetFiles)
            write(asset, parts.value(3));
    }

    void write(const char *relative, const QByteArray &content)
    {
        QFile file(root.filePath(QString::fromLatin1(relative)));
        require(file.open(QIODevice::WriteOnly) && file.write(content) == content.size(),
                "the web app can be written");
    }

    QTemporaryDir root;
    FuzzHost host;
    QPluginLoader loader;
    QObject *plugin = nullptr;
    WeftPluginPrivate *record = nullptr;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_weftrebuild";
    static char *argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
    static Fixture fixture;

    const QByteArrayList parts =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size))
            .split(partSeparator);
    fixture.writeApp(parts);
    const Tree before = treeOf(fixture.root.path());

    // The first tick rebuilds, the second ends the quiet period, so each input starts Idle.
    rebuildStarted = false;
    invalidInclude = false;
    readFailed = false;
    pageFileInode = 0;
    const qint64 readBefore = bytesRead();
    QMetaObject::invokeMethod(fixture.plugin, "processTemplates");
    const qint64 read = bytesRead() - readBefore;
    require(rebuildStarted, "the input is rebuilt");
    QMetaObject::invokeMethod(fixture.plugin, "processTemplates");

    require(std::memchr(fixture.record->line, '\0', WeftPluginPrivate::lineSize),
            "the line buffer holds its terminating NUL");
    require(fixture.record->includeDepth == 0, "the include depth is back at 0");
    const Tree after = treeOf(fixture.root.path());
    const bool pageWritten = after.contains(pageFile);
    require(!pageWritten || !invalidInclude, "a page with an invalid include is not served");
    require(pageWritten || invalidInclude || readFailed, "the page is written unless cut short");
    const WrittenFiles written = writtenFiles(*fixture.record);
    require(without(after, written) == without(before, written),
            "nothing but the page and the manifest changes");
    require(!pageWritten || inodeOf(fixture.root.filePath(pageFile)) == pageFileInode,
            "the page is the file written for it");
    require(withinBounds(after, *fixture.record, read), "what is written stays bounded");
    return 0;
}

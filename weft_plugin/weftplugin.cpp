#include "weftplugin.h"
#include "inputfile.h"
#include "weftpluginprivate.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

// Waited after the first change of a burst, and again after a rebuild before listening anew.
constexpr int rebuildDelayMs = 4000;
constexpr int maxReferenceLength = 1024;
constexpr int versionSuffixLength = 7;

bool isWhite(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Notes an input that grew or shrank while it was read, for the next rebuild.
void noteChange(WeftPluginPrivate &d, const InputFile &in, const QString &path)
{
    if (in.changed() && d.changedInput.isEmpty())
        d.changedInput = path;
}

// Reads the next line of `in`, opened from path, into the line buffer. Returns false once
// `in` is at its end or a read failed, which it reports.
bool readNextLine(WeftPluginPrivate &d, InputFile &in, const QString &path)
{
    const qint64 length = in.readLine(d.line, WeftPluginPrivate::lineSize);
    if (length > 0)
        return true;
    if (length < 0)
        DBG_Printf(1, "readLine %d\n%s", int(length), qPrintable(path + '\n'));
    noteChange(d, in, path);
    return false;
}

// The file name of the include directive in line, or an empty name when the directive is
// invalid, in which case line is left as the message about it shows it.
QByteArray includeName(char *line)
{
    static const char keyword[] = "templ-include:";
    char *const afterKeyword = std::strstr(line, keyword) + sizeof keyword - 1;
    char *name = afterKeyword;
    while (isWhite(*name))
        ++name;
    char *end = std::strstr(name, "-->");
    if (!end)
        return QByteArray();
    while (end > afterKeyword && isWhite(end[-1]))
        --end;
    if (end - name < 2) {
        *end = '\0';
        return QByteArray();
    }
    return QByteArray(name, int(end - name));
}

// The value of the line's first manifest="..." attribute, or an empty string.
QString manifestAttribute(const char *line)
{
    static const char attribute[] = "manifest=\"";
    const char *value = std::strstr(line, attribute);
    if (!value)
        return QString();
    value += sizeof attribute - 1;
    const char *quote = std::strchr(value, '"');
    return quote ? QString::fromLocal8Bit(value, int(quote - value)) : QString();
}

// Whether path lies below dir once ".." parts are resolved. A manifest name that climbs out
// of the served directory names the same file from both directories, and the manifest would
// replace its own source.
bool liesBelow(const QString &path, const QString &dir)
{
    const QString relative = QDir(dir).relativeFilePath(QDir::cleanPath(path));
    return relative != QLatin1String("..") && !relative.startsWith(QLatin1String("../"));
}

// The place of file's name in its directory, as it stands now. Each directory is opened once
// per rebuild.
ServedPlace placeIn(WeftPluginPrivate &d, const QFileInfo &file)
{
    const QString path = file.absolutePath();
    auto directory = d.directories.find(path);
    if (directory == d.directories.end()) {
        ServedPlace opened;
        opened.directory =
            ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        struct stat status;
        if (opened.directory < 0 || fstat(opened.directory, &status) != 0)
            opened.error = errno;
        else
            opened.directoryId = fileId(status);
        directory = d.directories.insert(path, opened);
    }
    ServedPlace place = *directory;
    place.name = QFile::encodeName(file.fileName());
    if (place.name.isEmpty() || place.name == "." || place.name == "..")
        place.error = EISDIR;
    if (place.error)
        return place;
    struct stat status;
    if (fstatat(place.directory, place.name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
        place.exists = true;
        place.existingId = fileId(status);
        place.existingMode = status.st_mode;
    } else if (errno != ENOENT) {
        place.error = errno;
    }
    return place;
}

// Where what is written to path lands, worked out once. As with QSaveFile, a chain of
// symbolic links is followed, also to a target that does not exist yet, and a chain that is
// too long has the link itself replaced.
ServedPlace servedPlace(WeftPluginPrivate &d, const QString &path)
{
    QFileInfo file(path);
    const ServedPlace place = placeIn(d, file);
    if (!place.exists || !S_ISLNK(place.existingMode))
        return place;
    int maxDepth = 128;
    while (--maxDepth && file.isSymLink())
        file.setFile(file.symLinkTarget());
    return maxDepth == 0 ? place : placeIn(d, file);
}

// Files of these report sizes they do not deliver: /proc/self/pagemap claims 0 bytes and
// reads 256 GiB, a sysfs file claims 4096 bytes and reads a few.
bool onVirtualFileSystem(WeftPluginPrivate &d, const InputFile &in)
{
    auto known = d.virtualFileSystems.constFind(quint64(in.status().st_dev));
    if (known == d.virtualFileSystems.cend()) {
        static const long virtualTypes[] = {
            PROC_SUPER_MAGIC, SYSFS_MAGIC,        DEBUGFS_MAGIC,      TRACEFS_MAGIC,
            SECURITYFS_MAGIC, CGROUP_SUPER_MAGIC, CGROUP2_SUPER_MAGIC};
        struct statfs fileSystem;
        const bool isVirtual = fstatfs(in.descriptor(), &fileSystem) == 0 &&
                               std::find(std::begin(virtualTypes), std::end(virtualTypes),
                                         long(fileSystem.f_type)) != std::end(virtualTypes);
        known = d.virtualFileSystems.insert(quint64(in.status().st_dev), isVirtual);
    }
    return *known;
}

// Opens path into `in` for the rebuild to read, and checks it on that descriptor. Only
// regular files are read: a device may never end, and a file of the kernel's virtual file
// systems may claim any size. Nothing that this rebuild writes is read, or a page would grow
// from what it is writing: neither a file served at a page's place nor a temporary file of
// the rebuild, which a template reaches through /proc/self/fd/N. Nor is any other file
// without a name, such as one that the host holds open after deleting it. Prints why it
// refuses a file. Returns why the file could not be opened; empty when it was opened or
// refused.
QString openInput(WeftPluginPrivate &d, const QString &path, InputFile &in)
{
    const int error = in.open(path);
    if (error)
        return qt_error_string(error);
    const struct stat &status = in.status();
    const char *const refusal = !S_ISREG(status.st_mode)     ? "not a regular file"
                                : onVirtualFileSystem(d, in) ? "a virtual file of the kernel"
                                : d.written.contains(fileId(status)) ? "this rebuild writes it"
                                : status.st_nlink == 0               ? "it has no name"
                                                                     : nullptr;
    if (refusal) {
        in.close();
        DBG_Printf(1, "refused to read %s: %s\n", qPrintable(path), refusal);
        return QString();
    }
    d.inputs.insert(fileId(status));
    return QString();
}

// Keeps the file for putInPlace() when it was written whole.
void keepFinished(WeftPluginPrivate &d, std::unique_ptr<ServedFile> out)
{
    if (out->finish())
        d.finished.push_back(std::move(out));
    else
        DBG_Printf(1, "failed to write %s: %s\n", qPrintable(out->path()),
                   qPrintable(out->errorString()));
}

// Puts the rebuild's finished files in place, all at its end. A file renamed into place must
// be on the disk first, or a crash could leave it empty or cut short in the place of the
// previous one; one sync of each file system they are on does that for all of them, where a
// sync of each file costs an SD card 5-20 ms a page. One more after the renames makes those
// durable too.
void putInPlace(WeftPluginPrivate &d)
{
    QHash<quint64, int> syncErrors;
    for (const auto &file : d.finished) {
        const quint64 device = file->place().directoryId.first;
        if (!syncErrors.contains(device))
            syncErrors.insert(device, syncfs(file->place().directory) == 0 ? 0 : errno);
    }
    QHash<quint64, int> renamedOn;
    for (const auto &file : d.finished) {
        const quint64 device = file->place().directoryId.first;
        int error = syncErrors.value(device);
        if (!error)
            error = file->rename();
        if (error)
            DBG_Printf(1, "failed to write %s: %s\n", qPrintable(file->path()),
                       qPrintable(qt_error_string(error)));
        else
            renamedOn.insert(device, file->place().directory);
    }
    for (const int directory : qAsConst(renamedOn))
        syncfs(directory);
    d.finished.clear();
    for (const ServedPlace &directory : qAsConst(d.directories))
        if (directory.directory >= 0)
            ::close(directory.directory);
    d.directories.clear();
}

// The time in the meta line's form, in local time.
QByteArray metaTime(const QDateTime &time)
{
    return time.toLocalTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")).toLocal8Bit();
}

QDateTime modificationTime(const struct stat &status)
{
    return QDateTime::fromMSecsSinceEpoch(
        qint64(status.st_mtim.tv_sec) * 1000 + status.st_mtim.tv_nsec / 1000000, Qt::UTC);
}

// "?" and the start of the SHA-1 digest of the file's content; empty when it could not be
// read whole.
QByteArray versionSuffix(WeftPluginPrivate &d, InputFile &file, const QString &path)
{
    bool hashed = d.sha1 && d.digest && EVP_DigestInit_ex2(d.digest, d.sha1, nullptr);
    const char *data;
    int length;
    while (hashed && file.readPiece(data, length))
        hashed = EVP_DigestUpdate(d.digest, data, std::size_t(length));
    noteChange(d, file, path);
    unsigned char digest[EVP_MAX_MD_SIZE];
    if (!hashed || !file.readWhole() || !EVP_DigestFinal_ex(d.digest, digest, nullptr))
        return QByteArray();
    const int digestBytes = (versionSuffixLength - 1) / 2;
    return '?' + QByteArray(reinterpret_cast<const char *>(digest), digestBytes).toHex();
}

// The manifest pass of processAppCache(), up to its output waiting in d.finished.
void writeManifest(WeftPluginPrivate &d)
{
    if (d.manifestName.isEmpty())
        return;
    d.cacheFiles.sort();
    DBG_Printf(1, "process appcache %s\n", qPrintable(d.manifestName));

    const QString path = d.appDir + '/' + d.manifestName;
    if (!liesBelow(path, d.appDir)) {
        DBG_Printf(1, "manifest %s outside %s\n", qPrintable(d.manifestName), qPrintable(d.appDir));
        return;
    }
    const QString source = d.srcDir + '/' + d.manifestName;
    InputFile in;
    const QString openError = openInput(d, source, in);
    if (!openError.isEmpty())
        DBG_Printf(1, "failed to open file %s for read %s\n", qPrintable(source),
                   qPrintable(openError));
    if (!in.isOpen())
        return;
    // The manifest would replace a template, an asset or a page of this rebuild, or (reached
    // through "..") its own source.
    const ServedPlace place = servedPlace(d, path);
    const char *refusal = nullptr;
    if (d.pagePlaces.contains(place.key()))
        refusal = "a page of this rebuild";
    else if (place.exists && d.inputs.contains(place.existingId))
        refusal = "this rebuild reads it";
    if (refusal) {
        DBG_Printf(1, "refused to write %s: %s\n", qPrintable(path), refusal);
        return;
    }
    auto out = std::make_unique<ServedFile>(path, place);
    if (!out->open(QIODevice::WriteOnly)) {
        DBG_Printf(1, "failed to open file %s for write %s\n", qPrintable(path),
                   qPrintable(out->errorString()));
        return;
    }
    while (readNextLine(d, in, source)) {
        out->write(d.line);
        if (!std::strstr(d.line, "# templ-auto-generate"))
            continue;
        // A marker on the source's last line without a line end would otherwise swallow the
        // first entry into its comment; a piece of a longer line is copied as it stands.
        if (in.readWhole() && d.line[std::strlen(d.line) - 1] != '\n')
            out->write("\n");
        for (const QString &entry : qAsConst(d.cacheFiles)) {
            const QByteArray bytes = entry.toLocal8Bit();
            DBG_Printf(1, "    %s\n", bytes.constData());
            out->write(bytes + '\n');
        }
        out->write("\n");
    }
    if (in.readWhole())
        keepFinished(d, std::move(out));
}

} // namespace

WeftPlugin::WeftPlugin(QObject *parent) : QObject(parent), d(new WeftPluginPrivate)
{
    d->sha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    d->digest = EVP_MD_CTX_new();
    d->timer = new QTimer(this);
    d->timer->setSingleShot(true);
    connect(d->timer, SIGNAL(timeout()), this, SLOT(processTemplates()));

    Halvik::ApsController *controller = Halvik::ApsController::instance();
    if (!controller) {
        // Only the controller names the served directory; without it nothing is watched, so
        // nothing is ever rebuilt.
        DBG_Printf(1, "no controller: nothing to watch\n");
        return;
    }
    QDir dir(controller->stringParameter(Halvik::ApsController::WebAppDirectory));
    d->appDir = dir.absolutePath();
    // Hosts that name the old "webapp2" directory are served from "velora_app" beside it.
    if (d->appDir.endsWith(QLatin1String("webapp2"))) {
        dir.cdUp();
        dir.cd(QStringLiteral("velora_app"));
        d->appDir = dir.absolutePath();
    }
    d->srcDir = d->appDir + QLatin1String("-src");

    DBG_Printf(1, "watch: %s\n", qPrintable(d->appDir));
    DBG_Printf(1, "watch: %s\n", qPrintable(d->srcDir));

    d->watcher = new QFileSystemWatcher(this);
    d->watcher->addPath(d->srcDir);
    d->watcher->addPath(d->appDir);
    connect(d->watcher, SIGNAL(directoryChanged(QString)), this, SLOT(directoryChanged(QString)));
    connect(d->watcher, SIGNAL(fileChanged(QString)), this, SLOT(directoryChanged(QString)));

    updateFileWatcher();
}

WeftPlugin::~WeftPlugin()
{
    EVP_MD_CTX_free(d->digest);
    EVP_MD_free(d->sha1);
    delete d;
    d = nullptr;
}

const char *WeftPlugin::name()
{
    return "Weft Plugin";
}

bool WeftPlugin::hasFeature(int)
{
    return false;
}

QWidget *WeftPlugin::createWidget()
{
    return nullptr;
}

QDialog *WeftPlugin::createDialog()
{
    return nullptr;
}

void WeftPlugin::processTemplates()
{
    // Without a controller there are no directories; the slots are still reachable through the
    // meta-object, and each of them then does nothing.
    if (!d->watcher)
        return;
    if (d->busy) {
        DBG_Printf(1, "templates timer released\n");
        d->busy = false;
        // What changed while it was read was ignored like every notification of the rebuild.
        if (!d->changedInput.isEmpty())
            directoryChanged(d->changedInput);
        return;
    }
    d->busy = true;
    d->timer->start(rebuildDelayMs);

    DBG_Printf(1, "process templates %s\n", qPrintable(d->srcDir));
    const QStringList pages = QDir(d->srcDir).entryList(QStringList{QStringLiteral("*.html")});
    d->manifestName.clear();
    d->cacheFiles.clear();
    d->pagePlaces.clear();
    d->written.clear();
    d->inputs.clear();
    d->virtualFileSystems.clear();
    d->versionedEntries.clear();
    d->versionedPaths.clear();
    d->changedInput.clear();
    QVector<ServedPlace> places;
    for (const QString &page : pages) {
        places.append(servedPlace(*d, d->appDir + '/' + page));
        d->pagePlaces.insert(places.last().key());
        if (places.last().exists)
            d->written.insert(places.last().existingId);
    }
    for (int i = 0; i < pages.size(); ++i) {
        auto out = std::make_unique<ServedFile>(d->appDir + '/' + pages[i], places[i]);
        const std::size_t finishedBefore = d->finished.size();
        if (out->open(QIODevice::WriteOnly)) {
            d->written.insert(out->temporaryId());
            d->includesInPage = 0;
            d->pageCutShort = false;
            processFile(d->srcDir + '/' + pages[i], *out);
            // What is not finished is discarded, and the served page stays.
            if (!d->pageCutShort)
                keepFinished(*d, std::move(out));
        } else {
            DBG_Printf(1, "failed to open file %s for write %s\n", qPrintable(out->path()),
                       qPrintable(out->errorString()));
        }
        // The host serves a page kept from an earlier rebuild too, so browsers must keep it.
        if (d->finished.size() > finishedBefore ||
            (places[i].exists && S_ISREG(places[i].existingMode)))
            d->cacheFiles.append(pages[i]);
    }
    processAppCache();
}

// Expands the template at filePath into out.
void WeftPlugin::processFile(QString filePath, QIODevice &out)
{
    if (!d->watcher)
        return;
    InputFile in;
    // In UTC, which needs no look-up of the time zone: only a "<head>" line shows it.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QString openError = openInput(*d, filePath, in);
    if (!openError.isEmpty()) {
        DBG_Printf(1, "failed to open file %s for read %s\n", qPrintable(filePath),
                   qPrintable(openError));
        DBG_Printf(1, "process %s\n", qPrintable(filePath));
    }
    if (!in.isOpen()) {
        // A page without its template keeps what is served; a missing include is left out.
        if (d->includeDepth == 0)
            d->pageCutShort = true;
        return;
    }
    DBG_Printf(1, "process %s\n", qPrintable(filePath));

    char *const line = d->line;
    bool skip = false;
    while (readNextLine(*d, in, filePath)) {
        if (std::strstr(line, "<!--")) {
            if (!skip && std::strstr(line, "templ-include:")) {
                const QByteArray name = includeName(line);
                if (name.isEmpty()) {
                    DBG_Printf(1, "invalid include file\n%s", line);
                    d->pageCutShort = true;
                    return;
                }
                if (d->includeDepth == WeftPluginPrivate::maxIncludeDepth) {
                    DBG_Printf(1, "include nested deeper than %d\n%s",
                               WeftPluginPrivate::maxIncludeDepth, line);
                    continue;
                }
                if (d->includesInPage == WeftPluginPrivate::maxIncludesPerPage) {
                    DBG_Printf(1, "more than %d includes in one page\n%s",
                               WeftPluginPrivate::maxIncludesPerPage, line);
                    continue;
                }
                ++d->includesInPage;
                ++d->includeDepth;
                processFile(d->srcDir + '/' + QString::fromUtf8(name), out);
                --d->includeDepth;
                continue;
            }
            if (std::strstr(line, "templ-skip-start")) {
                skip = true;
                continue;
            }
            if (std::strstr(line, "templ-skip-end")) {
                skip = false;
                continue;
            }
        } else if (std::strstr(line, "<head>")) {
            out.write(line);
            // The times of the file read, which the descriptor gives whatever is at its path
            // meanwhile; where no birth time is kept, the last status change stands in for it,
            // and a file open on Linux has both.
            std::snprintf(line, WeftPluginPrivate::lineSize,
                          "<meta data-lastmodified=\"%s\" data-generated=\"%s\">\r\n",
                          metaTime(modificationTime(in.status())).constData(),
                          metaTime(now).constData());
            out.write(line);
            continue;
        } else if (d->manifestName.isEmpty()) {
            d->manifestName = manifestAttribute(line);
        }
        processLocalFileChecksum();
        if (!skip)
            out.write(line);
    }
    if (!in.readWhole())
        d->pageCutShort = true;
}

void WeftPlugin::directoryChanged(QString path)
{
    if (!d->watcher || d->busy || d->timer->isActive())
        return;
    DBG_Printf(1, "%s changed\n", qPrintable(path));
    if (QFileInfo(path).isDir())
        updateFileWatcher();
    d->timer->start(rebuildDelayMs);
}

// Gives the first local stylesheet reference of the line, or else its first local script
// reference, a version suffix from the referenced file's content, so that browsers and the
// application cache fetch the file anew exactly when it changed.
void WeftPlugin::processLocalFileChecksum()
{
    if (!d->watcher)
        return;
    char *const line = d->line;
    std::ptrdiff_t start = 0;
    std::ptrdiff_t end = 0;
    if (const char *css = std::strstr(line, ".css")) {
        const char *href = std::strstr(line, "href=");
        if (!href)
            return;
        start = href - line + 6;
        end = css - line + 4;
    } else {
        const char *js = std::strstr(line, ".js");
        const char *src = std::strstr(line, "src=");
        if (!js || !src)
            return;
        start = src - line + 5;
        end = js - line + 3;
    }
    if (start >= end || end - start > maxReferenceLength)
        return;

    const QByteArray name(line + start, int(end - start));
    const QString path = d->appDir + '/' + QString::fromUtf8(name);
    InputFile file(&d->assetBuffer);
    openInput(*d, path, file);
    if (!file.isOpen())
        return;
    char *const quote = std::strchr(line + end, '"');
    if (!quote)
        return;
    // The suffix replaces whatever stands between the reference and the quote (an older
    // suffix, usually); a line that would then overflow the buffer is left as it is.
    const std::size_t tailLength = std::strlen(quote);
    if (end + versionSuffixLength + tailLength >= std::size_t(WeftPluginPrivate::lineSize))
        return;
    const QByteArray suffix = versionSuffix(*d, file, path);
    if (suffix.isEmpty())
        return;
    std::memmove(line + end + versionSuffixLength, quote, tailLength + 1);
    std::memcpy(line + end, suffix.constData(), versionSuffixLength);

    // Pages refer to the same few assets again and again: the list and the watcher are asked
    // once per rebuild.
    const QString entry = QString::fromLocal8Bit(name) + QString::fromLatin1(suffix);
    if (!d->versionedEntries.contains(entry)) {
        d->versionedEntries.insert(entry);
        d->cacheFiles.append(entry);
    }
    if (!d->versionedPaths.contains(path)) {
        d->versionedPaths.insert(path);
        d->watcher->addPath(path);
    }
}

// Writes the manifest, then puts every file of the rebuild in place: the rebuild ends here.
void WeftPlugin::processAppCache()
{
    writeManifest(*d);
    putInPlace(*d);
}

// Only ever adds: paths of files that went away simply stop reporting.
void WeftPlugin::updateFileWatcher()
{
    if (!d->watcher)
        return;
    const QStringList templates =
        QDir(d->srcDir).entryList(QStringList{QStringLiteral("*.html"), QStringLiteral("*.inc")});
    for (const QString &name : templates)
        d->watcher->addPath(d->srcDir + '/' + name);
    const QStringList assets =
        QDir(d->appDir).entryList(QStringList{QStringLiteral("*.css"), QStringLiteral("*.js")});
    for (const QString &name : assets)
        d->watcher->addPath(d->appDir + '/' + name);
}

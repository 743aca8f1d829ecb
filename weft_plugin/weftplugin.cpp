#include "weftplugin.h"
#include "weftpluginprivate.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSaveFile>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Waited after the first change of a burst, and again after a rebuild before listening anew.
constexpr int rebuildDelayMs = 4000;
// Special files may claim more content than they deliver; give up on them after this many
// empty reads in a row instead of reading for ever.
constexpr int maxFailedReads = 3;
constexpr int maxReferenceLength = 1024;
constexpr int versionSuffixLength = 7;

bool isWhite(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads the next line of `in`, opened from path, into `line`, at most lineSize - 1 bytes and
// a NUL. Returns false once `in` is at its end or has failed maxFailedReads times in a row.
bool readNextLine(QFile &in, const QString &path, char *line, int &failedReads)
{
    while (!in.atEnd() && failedReads < maxFailedReads) {
        const qint64 length = in.readLine(line, WeftPluginPrivate::lineSize);
        if (length > 0) {
            failedReads = 0;
            return true;
        }
        ++failedReads;
        DBG_Printf(1, "readLine %d\n%s", int(length), qPrintable(path + '\n'));
    }
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
// of the served directory names the same file from both directories, which would then be
// emptied by opening it for the output.
bool liesBelow(const QString &path, const QString &dir)
{
    const QString relative = QDir(dir).relativeFilePath(QDir::cleanPath(path));
    return relative != QLatin1String("..") && !relative.startsWith(QLatin1String("../"));
}

// Where QSaveFile puts what is written to path, as a canonical path; empty when there is no
// such directory. Like QSaveFile, it follows a chain of symbolic links also to a target that
// does not exist yet, and writes over the link itself when the chain is too long.
QString landingPath(const QString &path)
{
    QFileInfo file(path);
    int maxDepth = 128;
    while (--maxDepth && file.isSymLink())
        file.setFile(file.symLinkTarget());
    if (maxDepth == 0)
        file.setFile(path);
    const QString dir = QFileInfo(file.absolutePath()).canonicalFilePath();
    return dir.isEmpty() ? dir : dir + '/' + file.fileName();
}

FileId fileId(const struct stat &status)
{
    return {quint64(status.st_dev), quint64(status.st_ino)};
}

// Opens path into in, a QFile without a name, for the rebuild to read. Only regular files
// are read: a device may never end, and a FIFO would block the host in open(), so the file is
// opened without blocking and checked before anything is read. Nothing that this rebuild
// writes is read, or a page would grow from what it is writing: neither by its name nor
// through a link to an open file such as the page's unnamed temporary file. Nor is any other
// file without a name, such as one that the host holds open after deleting it. Prints why it
// refuses a file. Returns why the file could not be opened; empty when it was opened or refused.
QString openInput(WeftPluginPrivate &d, const QString &path, QFile &in)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return qt_error_string(errno);
    struct stat status;
    const int error = fstat(fd, &status) != 0 ? errno : S_ISDIR(status.st_mode) ? EISDIR : 0;
    if (error) {
        ::close(fd);
        return qt_error_string(error);
    }
    const char *refusal = nullptr;
    if (!S_ISREG(status.st_mode)) {
        refusal = "not a regular file";
    } else if (d.written.contains(fileId(status))) {
        refusal = "this rebuild writes it";
    } else {
        auto canonical = d.canonicalPaths.constFind(path);
        if (canonical == d.canonicalPaths.cend())
            canonical = d.canonicalPaths.insert(path, QFileInfo(path).canonicalFilePath());
        if (canonical->isEmpty())
            refusal = "it has no name";
        else if (d.outputs.contains(*canonical))
            refusal = "this rebuild writes it";
        else
            d.inputs.insert(*canonical);
    }
    if (refusal) {
        ::close(fd);
        DBG_Printf(1, "refused to read %s: %s\n", qPrintable(path), refusal);
        return QString();
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (in.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return QString();
    ::close(fd);
    return in.errorString();
}

// Puts what was written in place of the served file in one step, so that the host never
// serves half a file; on failure the served file stays as it was.
void commit(QSaveFile &out)
{
    if (!out.commit())
        DBG_Printf(1, "failed to write %s: %s\n", qPrintable(out.fileName()),
                   qPrintable(out.errorString()));
}

QByteArray metaTime(const QDateTime &time)
{
    return time.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")).toLocal8Bit();
}

// "?" and the start of the SHA-1 digest of the file's content; empty when it cannot be read.
QByteArray versionSuffix(QFile &file)
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    if (!hash.addData(&file))
        return QByteArray();
    return '?' + hash.result().toHex().left(versionSuffixLength - 1);
}

} // namespace

WeftPlugin::WeftPlugin(QObject *parent) : QObject(parent), d(new WeftPluginPrivate)
{
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
        return;
    }
    d->busy = true;
    d->timer->start(rebuildDelayMs);

    DBG_Printf(1, "process templates %s\n", qPrintable(d->srcDir));
    const QStringList pages = QDir(d->srcDir).entryList(QStringList{QStringLiteral("*.html")});
    d->manifestName.clear();
    d->cacheFiles.clear();
    d->inputs.clear();
    d->outputs.clear();
    d->written.clear();
    d->canonicalPaths.clear();
    for (const QString &page : pages)
        d->outputs.insert(landingPath(d->appDir + '/' + page));
    for (const QString &page : pages) {
        QSaveFile out(d->appDir + '/' + page);
        d->includesInPage = 0;
        d->pageCutShort = false;
        processFile(d->srcDir + '/' + page, out);
        // What is not committed is discarded, and the served page stays.
        if (out.isOpen() && !d->pageCutShort)
            commit(out);
        // The host serves a page kept from an earlier rebuild too, so browsers must keep it.
        if (QFileInfo(out.fileName()).isFile())
            d->cacheFiles.append(page);
    }
    processAppCache();
}

// Expands the template at filePath into out. A page's out is still closed when this is
// called: it is opened only once its template has been opened, so that an unreadable
// template leaves no trace.
void WeftPlugin::processFile(QString filePath, QFileDevice &out)
{
    if (!d->watcher)
        return;
    QFile in;
    const QDateTime now = QDateTime::currentDateTime();
    const QString openError = openInput(*d, filePath, in);
    if (!openError.isEmpty()) {
        DBG_Printf(1, "failed to open file %s for read %s\n", qPrintable(filePath),
                   qPrintable(openError));
        DBG_Printf(1, "process %s\n", qPrintable(filePath));
    }
    if (!in.isOpen())
        return;
    if (!out.isOpen()) {
        if (!out.open(QIODevice::WriteOnly)) {
            DBG_Printf(1, "failed to open file %s for write %s\n", qPrintable(out.fileName()),
                       qPrintable(out.errorString()));
            return;
        }
        struct stat status;
        if (fstat(out.handle(), &status) == 0)
            d->written.insert(fileId(status));
    }
    DBG_Printf(1, "process %s\n", qPrintable(filePath));

    // Where no birth time is kept, the last status change stands in for it.
    const QFileInfo info(filePath);
    const bool hasFileTimes = (info.birthTime().isValid() || info.metadataChangeTime().isValid()) &&
                              info.lastModified().isValid();
    char *const line = d->line;
    bool skip = false;
    int failedReads = 0;
    while (readNextLine(in, filePath, line, failedReads)) {
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
            if (hasFileTimes) {
                std::snprintf(line, WeftPluginPrivate::lineSize,
                              "<meta data-lastmodified=\"%s\" data-generated=\"%s\">\r\n",
                              metaTime(info.lastModified()).constData(), metaTime(now).constData());
                out.write(line);
            }
            continue;
        } else if (d->manifestName.isEmpty()) {
            d->manifestName = manifestAttribute(line);
        }
        processLocalFileChecksum();
        if (!skip)
            out.write(line);
    }
    if (!in.atEnd())
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
    QFile file;
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
    const QByteArray suffix = versionSuffix(file);
    if (suffix.isEmpty())
        return;
    std::memmove(line + end + versionSuffixLength, quote, tailLength + 1);
    std::memcpy(line + end, suffix.constData(), versionSuffixLength);

    const QString entry = QString::fromLocal8Bit(name) + QString::fromLatin1(suffix);
    if (!d->cacheFiles.contains(entry))
        d->cacheFiles.append(entry);
    d->watcher->addPath(path);
}

void WeftPlugin::processAppCache()
{
    if (d->manifestName.isEmpty())
        return;
    d->cacheFiles.sort();
    DBG_Printf(1, "process appcache %s\n", qPrintable(d->manifestName));

    QSaveFile out(d->appDir + '/' + d->manifestName);
    if (!liesBelow(out.fileName(), d->appDir)) {
        DBG_Printf(1, "manifest %s outside %s\n", qPrintable(d->manifestName),
                   qPrintable(d->appDir));
        return;
    }
    const QString source = d->srcDir + '/' + d->manifestName;
    QFile in;
    const QString openError = openInput(*d, source, in);
    if (!openError.isEmpty())
        DBG_Printf(1, "failed to open file %s for read %s\n", qPrintable(source),
                   qPrintable(openError));
    if (!in.isOpen())
        return;
    // The manifest would replace a template, an asset or a page of this rebuild, or (reached
    // through "..") its own source.
    const QString target = landingPath(out.fileName());
    const char *refusal = d->outputs.contains(target)  ? "a page of this rebuild"
                          : d->inputs.contains(target) ? "this rebuild reads it"
                                                       : nullptr;
    if (refusal) {
        DBG_Printf(1, "refused to write %s: %s\n", qPrintable(out.fileName()), refusal);
        return;
    }
    if (!out.open(QIODevice::WriteOnly)) {
        DBG_Printf(1, "failed to open file %s for write %s\n", qPrintable(out.fileName()),
                   qPrintable(out.errorString()));
        return;
    }
    int failedReads = 0;
    while (readNextLine(in, source, d->line, failedReads)) {
        out.write(d->line);
        if (!std::strstr(d->line, "# templ-auto-generate"))
            continue;
        // A marker on the source's last line without a line end would otherwise swallow the
        // first entry into its comment; a piece of a longer line is copied as it stands.
        if (in.atEnd() && d->line[std::strlen(d->line) - 1] != '\n')
            out.write("\n");
        for (const QString &entry : qAsConst(d->cacheFiles)) {
            const QByteArray bytes = entry.toLocal8Bit();
            DBG_Printf(1, "    %s\n", bytes.constData());
            out.write(bytes + '\n');
        }
        out.write("\n");
    }
    if (in.atEnd())
        commit(out);
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

// One rebuild of a small web app whose files come from the input. The input is split at
// the byte 0x1e (ASCII record separator) into four parts; missing parts are empty, parts
// after the fourth are ignored:
//
//   1. the page template, site/www-src/index.html
//   2. an include file, site/www-src/part.inc
//   3. the manifest source, site/www-src/app.appcache
//   4. an asset, written as both site/www/style.css and site/www/app.js
//
// The rebuild must end, must change nothing outside the served directory site/www (the
// source directory and everything else under the temporary root stay byte for byte as they
// were), and must keep within the plug-in's line buffer. The buffer ends the plug-in's
// private record, so ASan's guard zone after the record catches an overrun; what lies just
// before it, the include depth, must be back at 0 after each rebuild, and the buffer must
// still hold its terminating NUL.

#include "../weftplugin.h"
#include "../weftpluginprivate.h"

#include <halvik.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QPluginLoader>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char partSeparator = '\x1e';
const char *const partFiles[] = {"site/www-src/index.html", "site/www-src/part.inc",
                                 "site/www-src/app.appcache"};
const char *const assetFiles[] = {"site/www/style.css", "site/www/app.js"};

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

// What the plug-in prints is dropped, except that a rebuild has started.
bool rebuildStarted = false;

void dropPrint(int, const char *text)
{
    if (std::strncmp(text, "process templates ", 18) == 0)
        rebuildStarted = true;
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

Tree withoutServedFiles(Tree tree)
{
    for (auto it = tree.begin(); it != tree.end();)
        it = it.key().startsWith(QLatin1String("site/www/")) ? tree.erase(it) : std::next(it);
    return tree;
}

// The plug-in, loaded once: a fresh load per input costs more than the rebuild itself.
struct Fixture
{
    Fixture() : loader(QStringLiteral(WEFT_PLUGIN_PATH))
    {
        require(root.isValid(), "a temporary directory can be created");
        host.appDir = root.filePath(QStringLiteral("site/www"));
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

    fixture.writeApp(QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size))
                         .split(partSeparator));
    const Tree before = treeOf(fixture.root.path());

    // The first tick rebuilds, the second ends the quiet period, so each input starts Idle.
    rebuildStarted = false;
    QMetaObject::invokeMethod(fixture.plugin, "processTemplates");
    require(rebuildStarted, "the input is rebuilt");
    QMetaObject::invokeMethod(fixture.plugin, "processTemplates");

    require(std::memchr(fixture.record->line, '\0', WeftPluginPrivate::lineSize),
            "the line buffer holds its terminating NUL");
    require(fixture.record->includeDepth == 0, "the include depth is back at 0");
    const Tree after = treeOf(fixture.root.path());
    require(after.contains(QStringLiteral("site/www/index.html")), "the page is written");
    require(withoutServedFiles(after) == withoutServedFiles(before),
            "nothing outside the served directory changes");
    return 0;
}

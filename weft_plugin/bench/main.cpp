// Rebuilds a generated web app once through the loaded plug-in and sets the time against
// plain SHA-1 hashing of the same bytes, the floor that no rebuild can go below since every
// reference is hashed afresh. It also counts the durable syncs the rebuild asks for: each
// costs next to nothing on this machine's disk but 5-20 ms on an SD card, where the host
// usually runs.
//
// usage: weft_bench [directory]   (where to generate the web app; default: the temporary
//                                  directory)

#include <halvik.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPluginLoader>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <openssl/evp.h>

#include <cstdio>

#include <dlfcn.h>

namespace {

constexpr int pageCount = 500;
constexpr int referencesPerPage = 10;
constexpr int assetCount = 50;
constexpr int assetSize = 64 * 1024;

class BenchHost : public Halvik::ApsController
{
public:
    QString stringParameter(int parameter) override
    {
        return parameter == WebAppDirectory ? appDir : QString();
    }
    QString appDir;
};

// Half the assets are stylesheets, half scripts.
QString assetName(int asset)
{
    return asset % 2 ? QString("js/asset%1.js").arg(asset) : QString("css/asset%1.css").arg(asset);
}

QByteArray referenceLine(int asset)
{
    const QByteArray name = assetName(asset).toUtf8();
    return asset % 2 ? "<script src=\"" + name + "\"></script>\n"
                     : "<link rel=\"stylesheet\" href=\"" + name + "\">\n";
}

int assetOf(int page, int reference)
{
    return (page * referencesPerPage + reference) % assetCount;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// Writes the web app under appDir and its templates beside it; returns the assets' contents.
QList<QByteArray> generateApp(const QString &appDir)
{
    const QString srcDir = appDir + "-src";
    QDir().mkpath(appDir + "/css");
    QDir().mkpath(appDir + "/js");
    QDir().mkpath(srcDir);

    QRandomGenerator random(42);
    QList<QByteArray> assets;
    for (int asset = 0; asset < assetCount; ++asset) {
        QByteArray content(assetSize, Qt::Uninitialized);
        random.fillRange(reinterpret_cast<quint32 *>(content.data()), assetSize / 4);
        if (!writeFile(appDir + '/' + assetName(asset), content))
            return {};
        assets << content;
    }
    for (int page = 0; page < pageCount; ++page) {
        QByteArray text = page == 0 ? "<html manifest=\"app.appcache\">\n" : "<html>\n";
        text += "<head>\n<!-- templ-include: title.inc -->\n";
        for (int reference = 0; reference < referencesPerPage; ++reference)
            text += referenceLine(assetOf(page, reference));
        text += "</head>\n<body>\n<p>page " + QByteArray::number(page) + "</p>\n</body>\n</html>\n";
        if (!writeFile(srcDir + QString("/page%1.html").arg(page), text))
            return {};
    }
    if (!writeFile(srcDir + "/title.inc", "<title>Bench</title>\n") ||
        !writeFile(srcDir + "/app.appcache", "CACHE MANIFEST\n# templ-auto-generate\n"))
        return {};
    return assets;
}

void discard(int, const char *) {}

// What an SD card takes for one durable sync, at the low end.
constexpr double sdCardSyncMs = 10;

int syncCount = 0;
qint64 syncNs = 0;

// Calls the C library's function of that name on fd, counting the call and its time.
int countedSync(const char *name, int fd)
{
    using Sync = int (*)(int);
    const auto sync = reinterpret_cast<Sync>(dlsym(RTLD_NEXT, name));
    QElapsedTimer clock;
    clock.start();
    const int result = sync(fd);
    syncNs += clock.nsecsElapsed();
    ++syncCount;
    return result;
}

} // namespace

// The program exports these (ENABLE_EXPORTS), so they stand in for the C library's also in
// the plug-in and in Qt.
extern "C" int fsync(int fd)
{
    return countedSync("fsync", fd);
}

extern "C" int fdatasync(int fd)
{
    return countedSync("fdatasync", fd);
}

extern "C" int syncfs(int fd)
{
    return countedSync("syncfs", fd);
}

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    // The disk matters: give a directory on the one the host serves from to measure there.
    const QString parent = argc > 1 ? QFile::decodeName(argv[1]) : QDir::tempPath();
    QTemporaryDir root(parent + QStringLiteral("/weft_bench-XXXXXX"));
    BenchHost host;
    host.appDir = root.filePath("www");
    const QList<QByteArray> assets = generateApp(host.appDir);
    if (assets.isEmpty()) {
        std::printf("cannot write the web app under %s\n",
                    qPrintable(root.isValid() ? root.path() : parent));
        return 1;
    }

    // Printing every page's messages would measure the terminal, not the rebuild.
    Halvik::setDebugPrintHandler(discard);
    QPluginLoader loader(QStringLiteral(WEFT_PLUGIN_PATH));
    QObject *plugin = loader.instance();
    if (!plugin) {
        std::printf("cannot load the plug-in: %s\n", qPrintable(loader.errorString()));
        return 1;
    }
    syncCount = 0;
    syncNs = 0;
    QElapsedTimer clock;
    clock.start();
    QMetaObject::invokeMethod(plugin, "processTemplates");
    const double rebuildMs = clock.nsecsElapsed() / 1e6;
    const int syncs = syncCount;
    const double syncMs = syncNs / 1e6;

    // The manifest lists every page and every versioned asset once the rebuild did its work.
    QFile manifest(host.appDir + "/app.appcache");
    const int listed = manifest.open(QIODevice::ReadOnly) ? manifest.readAll().count('?') : 0;
    if (listed != assetCount) {
        std::printf("rebuild incomplete: %d of %d assets versioned\n", listed, assetCount);
        return 1;
    }

    // Every reference is hashed afresh, so the same bytes are hashed as often as they are
    // referred to.
    qint64 hashedBytes = 0;
    clock.restart();
    for (int page = 0; page < pageCount; ++page) {
        for (int reference = 0; reference < referencesPerPage; ++reference) {
            const QByteArray &content = assets[assetOf(page, reference)];
            QCryptographicHash::hash(content, QCryptographicHash::Sha1);
            hashedBytes += content.size();
        }
    }
    const double qtHashMs = clock.nsecsElapsed() / 1e6;
    clock.restart();
    for (int page = 0; page < pageCount; ++page) {
        for (int reference = 0; reference < referencesPerPage; ++reference) {
            const QByteArray &content = assets[assetOf(page, reference)];
            unsigned char digest[EVP_MAX_MD_SIZE];
            if (!EVP_Digest(content.constData(), std::size_t(content.size()), digest, nullptr,
                            EVP_sha1(), nullptr)) {
                std::printf("libcrypto cannot compute SHA-1\n");
                return 1;
            }
        }
    }
    const double cryptoHashMs = clock.nsecsElapsed() / 1e6;

    std::printf("web app: %d pages, %d references each, %d assets of %d KiB\n", pageCount,
                referencesPerPage, assetCount, assetSize / 1024);
    std::printf("rebuild: %.1f ms\n", rebuildMs);
    std::printf("durable syncs in the rebuild: %d (%.1f ms)\n", syncs, syncMs);
    std::printf("rebuild at %.0f ms per sync: %.1f ms\n", sdCardSyncMs,
                rebuildMs - syncMs + syncs * sdCardSyncMs);
    std::printf("bytes hashed: %lld (%.1f MiB)\n", static_cast<long long>(hashedBytes),
                hashedBytes / (1024.0 * 1024.0));
    std::printf("SHA-1 of the same bytes in memory, Qt: %.1f ms\n", qtHashMs);
    std::printf("SHA-1 of the same bytes in memory, libcrypto: %.1f ms\n", cryptoHashMs);
    std::printf("rebuild / SHA-1 with Qt: %.2f\n", rebuildMs / qtHashMs);
    std::printf("rebuild / SHA-1 with libcrypto: %.2f\n", rebuildMs / cryptoHashMs);
    return 0;
}

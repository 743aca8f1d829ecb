// Rebuilds a generated web app once through the loaded plug-in and sets the time against
// plain SHA-1 hashing of the same bytes, the floor that no rebuild can go below since every
// reference is hashed afresh.

#include <halvik.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPluginLoader>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>

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

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QTemporaryDir root;
    BenchHost host;
    host.appDir = root.filePath("www");
    const QList<QByteArray> assets = generateApp(host.appDir);
    if (assets.isEmpty()) {
        std::printf("cannot write the web app under %s\n", qPrintable(root.path()));
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
    QElapsedTimer clock;
    clock.start();
    QMetaObject::invokeMethod(plugin, "processTemplates");
    const double rebuildMs = clock.nsecsElapsed() / 1e6;

    // The manifest lists every page and every versioned asset once the rebuild did its work.
    QFile manifest(host.appDir + "/app.appcache");
    const int listed = manifest.open(QIODevice::ReadOnly) ? manifest.readAll().count('?') : 0;
    if (listed != assetCount) {
        std::printf("rebuild incomplete: %d of %d assets versioned\n", listed, assetCount);
        return 1;
    }

    qint64 hashedBytes = 0;
    clock.restart();
    for (int page = 0; page < pageCount; ++page) {
        for (int reference = 0; reference < referencesPerPage; ++reference) {
            const QByteArray &content = assets[assetOf(page, reference)];
            QCryptographicHash::hash(content, QCryptographicHash::Sha1);
            hashedBytes += content.size();
        }
    }
    const double hashMs = clock.nsecsElapsed() / 1e6;

    std::printf("web app: %d pages, %d references each, %d assets of %d KiB\n", pageCount,
                referencesPerPage, assetCount, assetSize / 1024);
    std::printf("rebuild: %.1f ms\n", rebuildMs);
    std::printf("bytes hashed: %lld (%.1f MiB)\n", static_cast<long long>(hashedBytes),
                hashedBytes / (1024.0 * 1024.0));
    std::printf("SHA-1 of the same bytes in memory: %.1f ms\n", hashMs);
    std::printf("rebuild / SHA-1: %.2f\n", rebuildMs / hashMs);
    return 0;
}

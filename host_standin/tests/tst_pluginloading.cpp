#include <halvik.h>

#include <QJsonObject>
#include <QPluginLoader>
#include <QtTest>

namespace {

QStringList printed;

void capture(int, const char *text)
{
    printed << QString::fromLocal8Bit(text);
}

class DirectoryHost : public Halvik::ApsController
{
public:
    QString stringParameter(int parameter) override
    {
        return parameter == WebAppDirectory ? QStringLiteral("/srv/app") : QString();
    }
};

} // namespace

class TestPluginLoading : public QObject
{
    Q_OBJECT

private slots:
    void metadataIsReadableWithoutLoading();
    void instanceWorksThroughTheHostLibrary();
};

void TestPluginLoading::metadataIsReadableWithoutLoading()
{
    QPluginLoader loader(QStringLiteral(PROBE_PLUGIN_PATH));
    const QJsonObject meta = loader.metaData();
    QCOMPARE(meta.value("IID").toString(), QStringLiteral("org.quenlab.ProbePlugin"));
    QCOMPARE(meta.value("className").toString(), QStringLiteral("ProbePlugin"));
    QCOMPARE(meta.value("version").toInt(),
             QT_VERSION_CHECK(QT_VERSION_MAJOR, QT_VERSION_MINOR, 0));
#ifdef QT_NO_DEBUG
    QCOMPARE(meta.value("debug").toBool(), false);
#else
    QCOMPARE(meta.value("debug").toBool(), true);
#endif
    // Qt leaves an empty user object out of the stored metadata; a host sees it as empty.
    QVERIFY(meta.value("MetaData").toObject().isEmpty());
    QVERIFY(!loader.isLoaded());
}

void TestPluginLoading::instanceWorksThroughTheHostLibrary()
{
    DirectoryHost host;
    Halvik::setDebugPrintHandler(capture);

    QPluginLoader loader(QStringLiteral(PROBE_PLUGIN_PATH));
    QObject *plugin = loader.instance();
    QVERIFY2(plugin, qPrintable(loader.errorString()));
    auto *node = qobject_cast<Halvik::NodeInterface *>(plugin);
    QVERIFY(node);
    QCOMPARE(QByteArray(node->name()), QByteArray("Probe Plugin"));

    // The plug-in reached this host's controller: one singleton across the library boundary.
    QCOMPARE(printed, QStringList{"probe: /srv/app\n"});

    emit host.nodeEvent(Halvik::NodeEvent(Halvik::NodeEvent::NodeRemoved, nullptr));
    QCOMPARE(plugin->property("lastEvent").toInt(), int(Halvik::NodeEvent::NodeRemoved));

    Halvik::setDebugPrintHandler(nullptr);
    QVERIFY(loader.unload());
}

QTEST_GUILESS_MAIN(TestPluginLoading)
#include "tst_pluginloading.moc"

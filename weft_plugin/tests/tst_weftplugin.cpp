#include "weftfixture.h"

#include <QJsonObject>
#include <QMetaMethod>
#include <QtTest>

// The plug-in as the host sees it: metadata, interface, meta-object, the directories it
// derives from the host's setting and what it watches from the start.
class TestWeftPlugin : public QObject
{
    Q_OBJECT

private slots:
    void metadata();
    void interfaceAnswers();
    void metaObjectDeclaresTheSlotsInOrder();
    void directoryDiscovery_data();
    void directoryDiscovery();
    void watchesTemplatesAndAssetsFromTheStart();
    void withoutControllerStaysIdle();
};

void TestWeftPlugin::metadata()
{
    const QJsonObject meta = QPluginLoader(QStringLiteral(WEFT_PLUGIN_PATH)).metaData();
    QCOMPARE(meta.value("IID").toString(), QStringLiteral("org.quenlab.WeftPlugin"));
    QCOMPARE(meta.value("className").toString(), QStringLiteral("WeftPlugin"));
    QCOMPARE(meta.value("version").toInt(),
             QT_VERSION_CHECK(QT_VERSION_MAJOR, QT_VERSION_MINOR, 0));
    QCOMPARE(meta.value("debug").toBool(), false);
    QVERIFY(meta.value("MetaData").toObject().isEmpty());
}

void TestWeftPlugin::interfaceAnswers()
{
    WeftFixture app;
    QObject *plugin = app.load();
    QVERIFY2(plugin, qPrintable(app.loader.errorString()));

    auto *node = qobject_cast<Halvik::NodeInterface *>(plugin);
    QVERIFY(node);
    QCOMPARE(plugin->qt_metacast("WeftPlugin"), static_cast<void *>(plugin));
    QCOMPARE(plugin->qt_metacast("Halvik::NodeInterface"), static_cast<void *>(node));
    QCOMPARE(plugin->qt_metacast("com.Halvik.NodeInterface/1.0"), static_cast<void *>(node));
    QCOMPARE(plugin->qt_metacast("QObject"), static_cast<void *>(plugin));
    QVERIFY(!plugin->qt_metacast("org.quenlab.WeftPlugin"));

    QCOMPARE(QByteArray(node->name()), QByteArray("Weft Plugin"));
    for (int feature : {-1, 0, int(Halvik::NodeInterface::DialogFeature), 2})
        QVERIFY(!node->hasFeature(feature));
    QVERIFY(!node->createWidget());
    QVERIFY(!node->createDialog());
}

void TestWeftPlugin::metaObjectDeclaresTheSlotsInOrder()
{
    WeftFixture app;
    QVERIFY(app.load());
    const QMetaObject *meta = app.plugin->metaObject();
    QCOMPARE(meta->className(), "WeftPlugin");
    QCOMPARE(meta->propertyCount(), meta->propertyOffset());

    QByteArrayList declared;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
        QCOMPARE(method.returnType(), int(QMetaType::Void));
        declared << method.methodSignature();
    }
    const QByteArrayList expected{"processTemplates()",        "processFile(QString,QIODevice&)",
                                  "directoryChanged(QString)", "processLocalFileChecksum()",
                                  "processAppCache()",         "updateFileWatcher()"};
    QCOMPARE(declared, expected);
}

void TestWeftPlugin::directoryDiscovery_data()
{
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QString>("named");
    QTest::addColumn<QString>("appDir");

    QTest::newRow("plain") << QStringList{"www"} << "www"
                           << "www";
    QTest::newRow("relative parts cleaned") << QStringList{"www"} << "www/../www/."
                                            << "www";
    QTest::newRow("webapp2 redirected") << QStringList{"webapp2", "velora_app"} << "webapp2"
                                        << "velora_app";
    QTest::newRow("any name ending in webapp2")
        << QStringList{"mywebapp2", "velora_app"} << "mywebapp2"
        << "velora_app";
    QTest::newRow("case matters") << QStringList{"Webapp2", "velora_app"} << "Webapp2"
                                  << "Webapp2";
    QTest::newRow("redirected to the parent without velora_app")
        << QStringList{"webapp2"} << "webapp2"
        << "";
}

void TestWeftPlugin::directoryDiscovery()
{
    QFETCH(QStringList, existing);
    QFETCH(QString, named);
    QFETCH(QString, appDir);

    QTemporaryDir root;
    for (const QString &dir : existing)
        QVERIFY(QDir(root.path()).mkdir(dir));
    WebAppHost host;
    host.appDir = root.path() + '/' + named;
    WebAppHost::printed().clear();
    QPluginLoader loader(QStringLiteral(WEFT_PLUGIN_PATH));
    QVERIFY2(loader.instance(), qPrintable(loader.errorString()));

    const QByteArray served = QDir(root.path() + '/' + appDir).absolutePath().toLocal8Bit();
    const QByteArrayList expected{"watch: " + served + "\n", "watch: " + served + "-src\n"};
    QCOMPARE(WebAppHost::printed(), expected);
    QVERIFY(loader.unload());
}

void TestWeftPlugin::watchesTemplatesAndAssetsFromTheStart()
{
    WeftFixture app;
    QVERIFY(app.write({{"www-src/index.html", "a"},
                       {"www-src/Header.INC", "b"},
                       {"www-src/.hidden.html", "c"},
                       {"www-src/app.appcache", "d"},
                       {"www-src/sub/deep.html", "e"},
                       {"www/style.css", "f"},
                       {"www/app.js", "g"},
                       {"www/index.html", "h"},
                       {"www/css/nested.css", "i"}}));
    QVERIFY(app.load());

    QStringList watched = app.watched();
    watched.sort();
    // Name filters match regardless of case, as the directory's default filter does.
    const QStringList expected{app.path("www-src/Header.INC"), app.path("www-src/index.html"),
                               app.path("www/app.js"), app.path("www/style.css")};
    QCOMPARE(watched, expected);
    const QStringList directories{app.path("www-src"), app.path("www")};
    QCOMPARE(app.plugin->findChild<QFileSystemWatcher *>()->directories(), directories);

    // Nothing is rebuilt before the first change.
    QVERIFY(!app.timer()->isActive());
    QCOMPARE(app.read("www/index.html"), QByteArray("h"));
}

// A host that loads its plug-ins before it creates its controller; also the slots, which a
// host or tool may call through the meta-object, find no directory to work on.
void TestWeftPlugin::withoutControllerStaysIdle()
{
    QVERIFY(!Halvik::ApsController::instance());
    WebAppHost::printed().clear();
    Halvik::setDebugPrintHandler([](int, const char *text) { WebAppHost::printed() << text; });
    QPluginLoader loader(QStringLiteral(WEFT_PLUGIN_PATH));
    QObject *plugin = loader.instance();
    QVERIFY2(plugin, qPrintable(loader.errorString()));
    // A template whose reference names an existing stylesheet from the file system's root,
    // where the served directory would be with an empty path.
    QTemporaryDir root;
    QFile style(root.filePath("style.css"));
    QFile page(root.filePath("index.html"));
    QFile out(root.filePath("out.html"));
    QVERIFY(style.open(QIODevice::WriteOnly) && page.open(QIODevice::WriteOnly) &&
            page.write("<link href=\"" + QFile::encodeName(style.fileName()).mid(1) + "\">\n"));
    page.close();
    for (const char *slot :
         {"processTemplates", "updateFileWatcher", "processLocalFileChecksum", "processAppCache"})
        QVERIFY(QMetaObject::invokeMethod(plugin, slot));
    QVERIFY(QMetaObject::invokeMethod(plugin, "directoryChanged", Q_ARG(QString, root.path())));
    QVERIFY(QMetaObject::invokeMethod(plugin, "processFile", Q_ARG(QString, page.fileName()),
                                      Q_ARG(QIODevice &, out)));
    Halvik::setDebugPrintHandler(nullptr);

    QCOMPARE(WebAppHost::printed(), QByteArrayList{"no controller: nothing to watch\n"});
    QVERIFY(!out.exists());
    QVERIFY(!plugin->findChild<QFileSystemWatcher *>());
    QVERIFY(!plugin->findChild<QTimer *>()->isActive());
    QCOMPARE(QByteArray(qobject_cast<Halvik::NodeInterface *>(plugin)->name()), "Weft Plugin");
    QVERIFY(loader.unload());
}

QTEST_GUILESS_MAIN(TestWeftPlugin)
#include "tst_weftplugin.moc"

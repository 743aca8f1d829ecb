#include "testbench.h"

#include <QJsonObject>
#include <QtTest>

class TestPluginShell : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase_data();
    void metadataIsReadableWithoutLoading();
    void answersTheHostInterface();
    void metaCastFindsTheInterface_data();
    void metaCastFindsTheInterface();
    void metaObjectsListSignalsAndSlotsInOrder();
};

namespace {

QStringList ownMethods(const QMetaObject *meta)
{
    QStringList signatures;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
        signatures << QString::fromLatin1(meta->method(i).methodSignature());
    return signatures;
}

} // namespace

void TestPluginShell::initTestCase_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("dialogClassName");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QStringList>("dialogMethods");
    const QStringList common{"startPressed()", "stopPressed()", "start()", "stop()"};
    QTest::newRow("ondrel") << ONDREL_PLUGIN_PATH << "libondrel_plugin.so"
                            << "OndrelPlugin"
                            << "OndrelDialog" << QByteArray("Ondrel Plugin")
                            << common + QStringList{"groupAddressEdited()"};
    QTest::newRow("kal") << KAL_SIGNAL_PLUGIN_PATH << "libkal_signal_plugin.so"
                         << "KalSignalPlugin"
                         << "KalSignalDialog" << QByteArray("Signal Monitor Plugin") << common;
}

void TestPluginShell::metadataIsReadableWithoutLoading()
{
    QFETCH_GLOBAL(QString, path);
    QFETCH_GLOBAL(QString, fileName);
    QFETCH_GLOBAL(QString, className);
    QCOMPARE(QFileInfo(path).fileName(), fileName);
    QCOMPARE(QFileInfo(path).dir().dirName(), "plugins");

    QPluginLoader loader(path);
    const QJsonObject meta = loader.metaData();
    QCOMPARE(meta.value("IID").toString(), "org.quenlab." + className);
    QCOMPARE(meta.value("className").toString(), className);
    QCOMPARE(meta.value("debug").toBool(true), false);
    QVERIFY(meta.value("MetaData").toObject().isEmpty());
}

void TestPluginShell::answersTheHostInterface()
{
    QFETCH_GLOBAL(QString, path);
    QFETCH_GLOBAL(QByteArray, name);
    QFETCH_GLOBAL(QString, dialogClassName);
    TestBench bench(path);
    Halvik::NodeInterface *plugin = bench.nodeInterface();
    QVERIFY(plugin);

    QCOMPARE(QByteArray(plugin->name()), name);
    QVERIFY(plugin->hasFeature(Halvik::NodeInterface::DialogFeature));
    for (int feature : {-1, 0, 2, 3})
        QVERIFY(!plugin->hasFeature(feature));
    QVERIFY(!plugin->createWidget());

    QDialog *dialog = bench.dialog();
    QVERIFY(dialog);
    QCOMPARE(dialog->metaObject()->className(), dialogClassName);
    QVERIFY(!dialog->parent());
    QCOMPARE(plugin->createDialog(), dialog);
    // The plug-in was created without a parent and keeps its timer as a child.
    QVERIFY(!bench.plugin()->parent());
    QVERIFY(bench.sendTimer());
}

void TestPluginShell::metaCastFindsTheInterface_data()
{
    QTest::addColumn<QString>("castName");
    QTest::addColumn<QString>("answer");
    QTest::newRow("own class") << QString() << "object";
    QTest::newRow("interface class") << "Halvik::NodeInterface"
                                     << "interface";
    QTest::newRow("interface id") << "com.Halvik.NodeInterface/1.0"
                                  << "interface";
    QTest::newRow("QObject") << "QObject"
                             << "object";
    QTest::newRow("unknown") << "Halvik::ApsController"
                             << "none";
}

void TestPluginShell::metaCastFindsTheInterface()
{
    QFETCH_GLOBAL(QString, path);
    QFETCH_GLOBAL(QString, className);
    QFETCH(QString, castName);
    QFETCH(QString, answer);
    TestBench bench(path);
    QObject *plugin = bench.plugin();
    const QByteArray name = (castName.isEmpty() ? className : castName).toLatin1();

    void *cast = plugin->qt_metacast(name.constData());
    void *expected = answer == "object"      ? static_cast<void *>(plugin)
                     : answer == "interface" ? static_cast<void *>(bench.nodeInterface())
                                             : nullptr;
    QCOMPARE(cast, expected);
}

void TestPluginShell::metaObjectsListSignalsAndSlotsInOrder()
{
    QFETCH_GLOBAL(QString, path);
    QFETCH_GLOBAL(QStringList, dialogMethods);
    TestBench bench(path);

    QCOMPARE(ownMethods(bench.plugin()->metaObject()),
             QStringList({"nodeEvent(Halvik::NodeEvent)",
                          "apsdeDataIndication(Halvik::ApsDataIndication)",
                          "apsdeDataConfirm(Halvik::ApsDataConfirm)", "startSending()",
                          "stopSending()", "sendTimerFired()"}));
    QCOMPARE(ownMethods(bench.dialog()->metaObject()), dialogMethods);
}

QTEST_MAIN(TestPluginShell)
#include "tst_pluginshell.moc"

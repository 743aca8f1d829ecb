#include <halvik.h>

#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPluginLoader>
#include <QTemporaryDir>
#include <QtTest>

// This host links a copy of the host library built under another file name and soname. The
// plug-ins, built as they are shipped, must run on it and bring in no host library of their own.

namespace {

QByteArrayList printed;

void capture(int, const char *text)
{
    printed << text;
}

class WebAppHost : public Halvik::ApsController
{
public:
    QString stringParameter(int parameter) override
    {
        return parameter == WebAppDirectory ? appDir : QString();
    }

    QString appDir;
};

QByteArray mappedFiles()
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    return maps.open(QIODevice::ReadOnly) ? maps.readAll() : QByteArray();
}

} // namespace

class TestRenamedHostLibrary : public QObject
{
    Q_OBJECT

private slots:
    void pluginsRunOnTheHostsLibrary_data();
    void pluginsRunOnTheHostsLibrary();
};

void TestRenamedHostLibrary::pluginsRunOnTheHostsLibrary_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("weft") << WEFT_PLUGIN_PATH;
    QTest::newRow("ondrel") << ONDREL_PLUGIN_PATH;
    QTest::newRow("kal") << KAL_SIGNAL_PLUGIN_PATH;
}

void TestRenamedHostLibrary::pluginsRunOnTheHostsLibrary()
{
    QFETCH(QString, path);
    QTemporaryDir webApp;
    WebAppHost host;
    host.appDir = webApp.path();
    printed.clear();
    Halvik::setDebugPrintHandler(capture);
    QPluginLoader loader(path);
    QObject *plugin = loader.instance();
    Halvik::setDebugPrintHandler(nullptr);
    QVERIFY2(plugin, qPrintable(loader.errorString()));
    QVERIFY(mappedFiles().contains("libhalvikhost.so.7"));
    QVERIFY2(!mappedFiles().contains("libhalvik1"), "a plug-in loaded a host library of its own");

    // The plug-in talks to this host's controller and prints through it.
    auto *node = qobject_cast<Halvik::NodeInterface *>(plugin);
    QVERIFY(node);
    if (QDialog *dialog = node->createDialog()) {
        Halvik::Address address;
        address.setExt(0x00212effff001234);
        Halvik::Node selected;
        selected.setAddress(address);
        emit host.nodeEvent(Halvik::NodeEvent(Halvik::NodeEvent::NodeSelected, &selected));
        QCOMPARE(dialog->findChild<QLineEdit *>("nodeLineEdit")->text(), address.toStringExt());
        delete dialog;
    } else {
        QCOMPARE(printed.value(0), "watch: " + QFile::encodeName(webApp.path()) + '\n');
    }
    QVERIFY(loader.unload());
}

QTEST_MAIN(TestRenamedHostLibrary)
#include "tst_renamedhostlibrary.moc"

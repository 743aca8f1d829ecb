#include "testbench.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QProcess>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

namespace {

// Set in a child process to the plug-in and row it runs.
const char ChildRowVariable[] = "SIGNAL_TEST_CHILD_ROW";

} // namespace

TestBench::TestBench(const QString &pluginPath) : loader(pluginPath)
{
    instance = loader.instance();
    if (!instance)
        qFatal("cannot load %s: %s", qPrintable(pluginPath), qPrintable(loader.errorString()));
}

TestBench::~TestBench()
{
    // The host owns the dialog; each bench starts from a fresh plug-in object.
    delete createdDialog;
    delete instance;
}

int TestBench::apsdeDataRequest(const Halvik::ApsDataRequest &req)
{
    if (duringRequest)
        duringRequest();
    // Taken after the host's own events: what a plug-in handed over must not change meanwhile.
    requests << req;
    if (result == 0 && confirmAtOnce)
        confirm(req.id());
    return result;
}

Halvik::NodeInterface *TestBench::nodeInterface() const
{
    return qobject_cast<Halvik::NodeInterface *>(instance);
}

QDialog *TestBench::dialog()
{
    createdDialog = nodeInterface()->createDialog();
    return createdDialog;
}

QTimer *TestBench::sendTimer() const
{
    return instance->findChild<QTimer *>();
}

QWidget *TestBench::widget(const char *objectName)
{
    return dialog()->findChild<QWidget *>(QString::fromLatin1(objectName));
}

QString TestBench::text(const char *objectName)
{
    return widget(objectName)->property("text").toString();
}

void TestBench::click(const char *objectName)
{
    qobject_cast<QAbstractButton *>(widget(objectName))->click();
}

void TestBench::setDelay(int milliseconds)
{
    qobject_cast<QSpinBox *>(widget("delaySpinBox"))->setValue(milliseconds);
}

void TestBench::openWith(const Halvik::Node &node)
{
    dialog();
    setDelay(10000);
    select(node);
}

void TestBench::tick()
{
    QMetaObject::invokeMethod(sendTimer(), "timeout");
}

void TestBench::select(const Halvik::Node &node)
{
    emit nodeEvent(Halvik::NodeEvent(Halvik::NodeEvent::NodeSelected, &node));
}

void TestBench::remove(const Halvik::Node &node)
{
    emit nodeEvent(Halvik::NodeEvent(Halvik::NodeEvent::NodeRemoved, &node));
}

void TestBench::confirm(quint8 id, quint8 status)
{
    Halvik::ApsDataConfirm conf;
    conf.setId(id);
    conf.setStatus(status);
    emit apsdeDataConfirm(conf);
}

void TestBench::confirmLast(quint8 status)
{
    confirm(requests.last().id(), status);
}

void TestBench::indicate(const Halvik::Node &from, quint16 profile, quint16 cluster, quint8 lqi,
                         qint8 rssi)
{
    Halvik::ApsDataIndication ind;
    ind.setSrcAddress(from.address());
    ind.setProfileId(profile);
    ind.setClusterId(cluster);
    ind.setLinkQuality(lqi);
    ind.setRssi(rssi);
    emit apsdeDataIndication(ind);
}

Halvik::Node TestBench::node(std::optional<quint64> ext, std::optional<quint16> nwk)
{
    Halvik::Address address;
    if (ext)
        address.setExt(*ext);
    if (nwk)
        address.setNwk(*nwk);
    Halvik::Node node;
    node.setAddress(address);
    return node;
}

bool TestBench::inChildProcess(const QString &pluginPath)
{
    const QString tag = QString::fromUtf8(QTest::currentDataTag());
    const QString row = pluginPath + ':' + tag;
    if (qEnvironmentVariableIsSet(ChildRowVariable))
        return qEnvironmentVariable(ChildRowVariable) == row;

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(ChildRowVariable), row);
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {QString::fromUtf8(QTest::currentTestFunction()) + ':' + tag});
    const bool passed = child.waitForFinished(-1) && child.exitStatus() == QProcess::NormalExit &&
                        child.exitCode() == 0;
    if (!passed)
        QTest::qFail(qPrintable("the child process failed:\n" + child.readAll()), __FILE__,
                     __LINE__);
    return false;
}

void TestBench::nextRequestIdWillBe(quint8 id)
{
    while (Halvik::ApsDataRequest().id() != quint8(id - 1)) {
    }
}

const Halvik::Node &TestBench::nodeUnderTest()
{
    static const Halvik::Node node = TestBench::node(0x00212effff001234, 0x1234);
    return node;
}

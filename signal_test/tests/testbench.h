#ifndef TESTBENCH_H
#define TESTBENCH_H

#include <halvik.h>

#include <QDialog>
#include <QList>
#include <QPluginLoader>
#include <QPointer>

#include <functional>
#include <optional>

class QTimer;

struct PluginFile
{
    const char *tag;
    const char *path;
};
constexpr PluginFile OndrelPluginFile{"ondrel", ONDREL_PLUGIN_PATH};
constexpr PluginFile KalSignalPluginFile{"kal", KAL_SIGNAL_PLUGIN_PATH};
// For the many cases that hold for either plug-in.
constexpr PluginFile BothPlugins[] = {OndrelPluginFile, KalSignalPluginFile};

// A host with one signal test plug-in loaded from its built library, as the host application
// would load it. Records every request and answers each with `result`; emits confirms,
// indications and node events; reaches the dialog's widgets by object name.
class TestBench : public Halvik::ApsController
{
public:
    explicit TestBench(const QString &pluginPath);
    ~TestBench() override;

    int apsdeDataRequest(const Halvik::ApsDataRequest &req) override;

    QObject *plugin() const { return instance; }
    Halvik::NodeInterface *nodeInterface() const;
    QDialog *dialog();
    QTimer *sendTimer() const;

    QWidget *widget(const char *objectName);
    QString text(const char *objectName);
    void click(const char *objectName);
    void setDelay(int milliseconds);
    // Opens the window with the node selected and a delay long enough that ticks come only
    // from tick().
    void openWith(const Halvik::Node &node);

    // One timeout of the plug-in's send timer, without waiting for it.
    void tick();
    void select(const Halvik::Node &node);
    void remove(const Halvik::Node &node);
    void confirm(quint8 id, quint8 status = 0);
    void confirmLast(quint8 status = 0);
    void indicate(const Halvik::Node &from, quint16 profile, quint16 cluster, quint8 lqi,
                  qint8 rssi);

    // A node whose address has the parts given; an empty optional leaves that part out.
    // Runs the current row for the plug-in at pluginPath again in a child process, so that a
    // crash fails that row only. True in that child, which then does the row's work; false in
    // the parent, which has waited for the child and failed the row if the child failed.
    static bool inChildProcess(const QString &pluginPath);

    static Halvik::Node node(std::optional<quint64> ext, std::optional<quint16> nwk);
    static const Halvik::Node &nodeUnderTest();
    // Makes the next constructed request carry the given id.
    static void nextRequestIdWillBe(quint8 id);

    QList<Halvik::ApsDataRequest> requests;
    int result = 0;
    // Confirms every accepted request from inside apsdeDataRequest, as some hosts do.
    bool confirmAtOnce = false;
    // Runs inside apsdeDataRequest before it records the request and answers, as a host's
    // own events may.
    std::function<void()> duringRequest;

private:
    QPluginLoader loader;
    QPointer<QObject> instance;
    QPointer<QDialog> createdDialog;
};

#endif // TESTBENCH_H

// Both signal test plug-ins, loaded as the host application loads them, driven by a sequence of
// host events that the input chooses. Each step is one byte, step = (byte >> 1) % 10, and for
// the steps on a window or a timer the low bit chooses the plug-in (0 Ondrel, 1 the monitor);
// some steps read more bytes:
//
//   0 open the window (createDialog)        5 set the delay to 40 * next byte ms
//   1 delete the window                      6 click Ondrel's mode button (next byte % 4)
//   2 click Start                            7 a frame: address, profile, cluster, RSSI, LQI
//   3 click Stop                             8 a confirm: id choice, status
//   4 one tick of the send timer, if active  9 a node event: code % 4, address
//
// An address byte has bit 0 for an extended and bit 1 for a network address, bits 2-3 and 4-5
// choose them from small sets so that they meet; for a node event bit 6 means no node. A
// profile byte below 0x80 chooses 0x0000 or 0x0104 by its low bit, else it is the profile; a
// cluster byte likewise 0x0006 or 0x8001. An id choice 0 confirms the latest request, 1 the
// plug-in's latest, and any other value is the id itself.
//
// The host answers each request with the next byte: bit 0 refuses it, bits 1-2 are how many
// steps the host runs inside the call before it answers (up to a nesting depth of 4), so a
// window may be deleted, a confirm delivered or a test restarted inside a request.
//
// What must hold, besides no crash and no sanitizer report: a plug-in shows only RSSI and LQI
// that came from its node under test; no plug-in has more than one request awaiting its confirm,
// except that a run's first tick may give up on the previous run's last request; and a test
// whose window is gone or not running leaves no send timer running.

#include <halvik.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QPluginLoader>
#include <QPointer>
#include <QSet>
#include <QSpinBox>
#include <QTimer>
#include <QVector>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

const quint64 extendedAddresses[] = {0x00212effff001234, 0x00212effff005678, 0, 0xffffffffffffffff};
const quint16 networkAddresses[] = {0x1234, 0x5678, 0x0000, 0xfffe};
const char *const modeButtons[] = {"broadcastAllRoutersRadioButton", "broadcastAllRadioButton",
                                   "groupcastRadioButton", "unicastRadioButton"};
const quint16 HomeAutomationProfile = 0x0104;
const quint16 DeviceProfile = 0x0000;
const int maxDepth = 4;

enum Step
{
    OpenWindow,
    DeleteWindow,
    ClickStart,
    ClickStop,
    Tick,
    SetDelay,
    SetMode,
    Frame,
    Confirm,
    NodeEvent,
    StepCount
};

void require(bool condition, const char *invariant)
{
    if (condition)
        return;
    std::fprintf(stderr, "broken invariant: %s\n", invariant);
    std::abort();
}

// The oracle's own statement of which node an address names: by the extended address where both
// carry one, else by the network address where both carry one.
bool sameNode(const Halvik::Address &a, const Halvik::Address &b)
{
    if (a.hasExt() && b.hasExt())
        return a.ext() == b.ext();
    return a.hasNwk() && b.hasNwk() && a.nwk() == b.nwk();
}

struct Input
{
    const uint8_t *data;
    std::size_t size;
    std::size_t position = 0;

    bool atEnd() const { return position == size; }
    quint8 next() { return atEnd() ? 0 : data[position++]; }

    Halvik::Address address(quint8 parts)
    {
        Halvik::Address address;
        if (parts & 1)
            address.setExt(extendedAddresses[(parts >> 2) & 3]);
        if (parts & 2)
            address.setNwk(networkAddresses[(parts >> 4) & 3]);
        return address;
    }
};

struct Awaited
{
    quint8 id;
    quint64 step;
};

// One loaded plug-in and what the host knows of it.
struct Plugin
{
    QTimer *sendTimer() const { return instance->findChild<QTimer *>(); }
    QString text(const char *objectName) const
    {
        return dialog->findChild<QWidget *>(QString::fromLatin1(objectName))
            ->property("text")
            .toString();
    }
    bool running() const { return dialog && text("statusLabel").startsWith("Send "); }
    QString shownFigures() const { return text("rssiLineEdit") + ' ' + text("lqiLineEdit"); }
    void click(const char *objectName) const
    {
        if (auto *button = dialog->findChild<QAbstractButton *>(QString::fromLatin1(objectName)))
            button->click();
    }

    QPointer<QObject> instance;
    QPointer<QDialog> dialog;
    // The node under test as the host's events have set it.
    Halvik::Address node;
    // RSSI and LQI, as the window shows them, of every frame from the node under test.
    QSet<QString> framesFromNode;
    QVector<Awaited> awaiting;
    quint64 lastStart = 0;
    quint64 lastTick = 0;
    quint8 latestId = 0;
};

class FuzzHost : public Halvik::ApsController
{
public:
    FuzzHost()
        : loaders{QPluginLoader(QStringLiteral(ONDREL_PLUGIN_PATH)),
                  QPluginLoader(QStringLiteral(KAL_SIGNAL_PLUGIN_PATH))}
    {
    }

    // Each input meets fresh plug-in objects.
    void run(Input &in)
    {
        input = &in;
        for (int i = 0; i < 2; ++i) {
            plugins[i] = Plugin();
            plugins[i].instance = loaders[i].instance();
            require(plugins[i].instance, "the plug-in loads");
        }
        while (!input->atEnd()) {
            runStep();
            checkStoppedTestsHaveNoTimer();
        }
        for (Plugin &plugin : plugins) {
            delete plugin.dialog;
            delete plugin.instance;
        }
    }

    int apsdeDataRequest(const Halvik::ApsDataRequest &req) override
    {
        require(req.profileId() == HomeAutomationProfile || req.profileId() == DeviceProfile,
                "a request comes from one of the plug-ins");
        Plugin &plugin = plugins[req.profileId() == DeviceProfile ? 1 : 0];
        for (const Awaited &other : plugin.awaiting)
            require(other.step < plugin.lastStart && plugin.lastTick > plugin.lastStart,
                    "no request leaves while another awaits its confirm, unless a new run's "
                    "tick gave up on the previous run's");
        // Given up, or the first: the plug-in waits for this one only.
        plugin.awaiting = {{req.id(), step}};
        latestId = plugin.latestId = req.id();

        const quint64 sentAt = step;
        const quint8 answer = input->next();
        if (depth < maxDepth) {
            ++depth;
            for (int inside = (answer >> 1) & 3; inside > 0; --inside)
                runStep();
            --depth;
        }
        const bool refused = answer & 1;
        if (refused)
            forget(plugin, [sentAt](const Awaited &a) { return a.step == sentAt; });
        return refused ? 1 : 0;
    }

private:
    template <typename Predicate> static void forget(Plugin &plugin, Predicate predicate)
    {
        plugin.awaiting.erase(
            std::remove_if(plugin.awaiting.begin(), plugin.awaiting.end(), predicate),
            plugin.awaiting.end());
    }

    void runStep()
    {
        ++step;
        const quint8 byte = input->next();
        Plugin &plugin = plugins[byte & 1];
        switch ((byte >> 1) % StepCount) {
        case OpenWindow:
            plugin.dialog = qobject_cast<Halvik::NodeInterface *>(plugin.instance)->createDialog();
            break;
        case DeleteWindow:
            delete plugin.dialog;
            break;
        case ClickStart:
            if (plugin.dialog) {
                if (!plugin.running())
                    plugin.lastStart = step;
                plugin.click("startButton");
            }
            break;
        case ClickStop:
            if (plugin.dialog)
                plugin.click("stopButton");
            break;
        case Tick:
            if (plugin.sendTimer()->isActive()) {
                plugin.lastTick = step;
                QMetaObject::invokeMethod(plugin.sendTimer(), "timeout");
            }
            break;
        case SetDelay: {
            const int delay = 40 * input->next();
            if (plugin.dialog)
                plugin.dialog->findChild<QSpinBox *>(QStringLiteral("delaySpinBox"))
                    ->setValue(delay);
            break;
        }
        case SetMode: {
            const char *button = modeButtons[input->next() % 4];
            if (plugin.dialog)
                plugin.click(button);
            break;
        }
        case Frame:
            sendFrame();
            break;
        case Confirm:
            sendConfirm(plugin);
            break;
        case NodeEvent:
            sendNodeEvent();
            break;
        }
        checkShownFigures();
    }

    void sendFrame()
    {
        Halvik::ApsDataIndication ind;
        ind.setSrcAddress(input->address(input->next()));
        const quint8 profile = input->next();
        ind.setProfileId(profile < 0x80 ? (profile & 1 ? HomeAutomationProfile : DeviceProfile)
                                        : profile);
        const quint8 cluster = input->next();
        ind.setClusterId(cluster < 0x80 ? (cluster & 1 ? 0x8001 : 0x0006) : cluster);
        ind.setRssi(qint8(input->next()));
        ind.setLinkQuality(input->next());
        for (Plugin &plugin : plugins) {
            if (sameNode(ind.srcAddress(), plugin.node))
                plugin.framesFromNode
                    << QString::number(ind.rssi()) + ' ' + QString::number(ind.linkQuality());
        }
        emit apsdeDataIndication(ind);
    }

    void sendConfirm(const Plugin &chosen)
    {
        const quint8 choice = input->next();
        Halvik::ApsDataConfirm conf;
        conf.setId(choice == 0 ? latestId : choice == 1 ? chosen.latestId : choice);
        conf.setStatus(input->next());
        for (Plugin &plugin : plugins)
            forget(plugin, [&conf](const Awaited &a) { return a.id == conf.id(); });
        emit apsdeDataConfirm(conf);
    }

    void sendNodeEvent()
    {
        const int code = input->next() % 4;
        const quint8 parts = input->next();
        Halvik::Node node;
        node.setAddress(input->address(parts));
        const bool withNode = !(parts & 0x40);
        if (withNode) {
            for (Plugin &plugin : plugins) {
                if (code == Halvik::NodeEvent::NodeSelected && plugin.dialog)
                    plugin.node = node.address();
                else if (code == Halvik::NodeEvent::NodeRemoved &&
                         sameNode(node.address(), plugin.node))
                    plugin.node = Halvik::Address();
            }
        }
        emit nodeEvent(Halvik::NodeEvent(code, withNode ? &node : nullptr));
    }

    void checkShownFigures() const
    {
        for (const Plugin &plugin : plugins) {
            if (!plugin.dialog)
                continue;
            const QString shown = plugin.shownFigures();
            require(shown == "0 0" || plugin.framesFromNode.contains(shown),
                    "RSSI and LQI are shown only from the node under test");
        }
    }

    // Only between steps at the outermost level: inside a Start the window already runs
    // before its status says so.
    void checkStoppedTestsHaveNoTimer() const
    {
        for (const Plugin &plugin : plugins)
            require(plugin.running() || !plugin.sendTimer()->isActive(),
                    "a stopped test leaves no timer running");
    }

    QPluginLoader loaders[2];
    Plugin plugins[2];
    Input *input = nullptr;
    quint64 step = 0;
    int depth = 0;
    quint8 latestId = 0;
};

} // namespace

// The windows need a Qt platform, whose offscreen plug-in keeps a small allocation for good; a
// fuzz run by hand would otherwise end on it as on a leak of ours.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libqoffscreen.so";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_signaltest";
    static char *argv[] = {name, nullptr};
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication application(argc, argv);
    static FuzzHost host;

    // Every input sees the same request ids, whatever ran before it: the next one is 0.
    while (Halvik::ApsDataRequest().id() != 255) {
    }
    Input input{data, size};
    host.run(input);
    return 0;
}

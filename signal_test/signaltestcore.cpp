#include "signaltestcore.h"

#include "signaltestdialog.h"

#include <QTimer>

namespace {

// Frames that carry a node's radio figures: any device profile frame, or an IEEE address
// response under whatever profile the host reports it.
const quint16 DeviceProfile = 0x0000;
const quint16 IeeeAddressResponseCluster = 0x8001;

// Whether two addresses name the same node, by a part that both carry: the extended address
// where both have one, else the short address. An address with neither part, such as the empty
// one that stands for "no node", matches nothing.
bool sameNode(const Halvik::Address &a, const Halvik::Address &b)
{
    if (a.hasExt() && b.hasExt())
        return a.ext() == b.ext();
    return a.hasNwk() && b.hasNwk() && a.nwk() == b.nwk();
}

} // namespace

SignalTestCore::SignalTestCore(QObject *plugin) : sendTimer(new QTimer(plugin)), plugin(plugin)
{
    // Lets the host deliver its records from another thread through queued connections.
    qRegisterMetaType<Halvik::NodeEvent>("Halvik::NodeEvent");
    qRegisterMetaType<Halvik::ApsDataIndication>("Halvik::ApsDataIndication");
    qRegisterMetaType<Halvik::ApsDataConfirm>("Halvik::ApsDataConfirm");

    QObject::connect(sendTimer, SIGNAL(timeout()), plugin, SLOT(sendTimerFired()));
    sendTimer->setSingleShot(false);

    Halvik::ApsController *controller = Halvik::ApsController::instance();
    QObject::connect(controller, SIGNAL(nodeEvent(Halvik::NodeEvent)), plugin,
                     SLOT(nodeEvent(Halvik::NodeEvent)));
    QObject::connect(controller, SIGNAL(apsdeDataIndication(Halvik::ApsDataIndication)), plugin,
                     SLOT(apsdeDataIndication(Halvik::ApsDataIndication)));
    QObject::connect(controller, SIGNAL(apsdeDataConfirm(Halvik::ApsDataConfirm)), plugin,
                     SLOT(apsdeDataConfirm(Halvik::ApsDataConfirm)));
}

SignalTestCore::~SignalTestCore() = default;

SignalTestDialog *SignalTestCore::createDialog()
{
    if (!dialog) {
        dialog = newDialog();
        QObject::connect(dialog, SIGNAL(startPressed()), plugin, SLOT(startSending()));
        QObject::connect(dialog, SIGNAL(stopPressed()), plugin, SLOT(stopSending()));
        // A test whose window the host deleted could be neither watched nor stopped.
        QObject::connect(dialog, &QObject::destroyed, plugin, [this] { stopSending(); });
    }
    return dialog;
}

void SignalTestCore::nodeEvent(const Halvik::NodeEvent &event)
{
    const Halvik::Node *eventNode = event.node();
    if (!eventNode)
        return;

    switch (event.event()) {
    case Halvik::NodeEvent::NodeSelected:
        // Selections made before the dialog exists are not remembered: the user sees the node
        // field only once there is a dialog.
        if (!dialog)
            return;
        node = eventNode->address();
        dialog->setNode(node);
        break;
    case Halvik::NodeEvent::NodeRemoved:
        // With or without a dialog: nothing may go on asking a node that has left.
        if (!sameNode(eventNode->address(), node))
            return;
        node = Halvik::Address();
        stopSending();
        if (dialog) {
            dialog->setNode(node);
            dialog->stop();
        }
        break;
    default:
        break;
    }
}

void SignalTestCore::apsdeDataIndication(const Halvik::ApsDataIndication &ind)
{
    if (sendState == SendIdle)
        return;
    if (ind.profileId() != DeviceProfile && ind.clusterId() != IeeeAddressResponseCluster)
        return;
    if (!sameNode(ind.srcAddress(), node) || !dialog)
        return;
    // Shown with the next status refresh, not now.
    dialog->setLqi(ind.linkQuality());
    dialog->setRssi(ind.rssi());
}

void SignalTestCore::apsdeDataConfirm(const Halvik::ApsDataConfirm &conf)
{
    if (conf.id() != apsReq.id())
        return;

    awaitingConfirm = false;
    // The previous run's last frame releases this run's first but is not one of this run's.
    if (firstSendHeld)
        firstSendHeld = false;
    else if (counts(conf))
        ++packetCount;
    if (dialog) {
        dialog->setPacketCount(packetCount);
        dialog->updateStatus();
    }

    if (sendState == SendWaitConfirm) {
        sendState = SendReady;
    } else if (sendState == SendPending) {
        sendState = SendReady;
        sendTimerFired();
    }
}

void SignalTestCore::startSending()
{
    // The interval lives in the dialog, so a direct call before it exists cannot start.
    if (sendState != SendIdle || !dialog || !canStart())
        return;
    packetCount = 0;
    // Running before the first send, because the host may stop the test inside it (remove the
    // node, press Stop, delete the window), and the stop has to find the timer to stop it.
    sendTimer->start(dialog->delay());
    if (awaitingConfirm) {
        sendState = SendPending;
        firstSendHeld = true;
        return;
    }
    sendState = SendReady;
    sendTimerFired();
}

void SignalTestCore::stopSending()
{
    sendState = SendIdle;
    firstSendHeld = false;
    sendTimer->stop();
}

void SignalTestCore::sendTimerFired()
{
    if (firstSendHeld) {
        // A whole interval without the previous run's confirm: it is not coming.
        firstSendHeld = false;
        awaitingConfirm = false;
        sendState = SendReady;
    } else if (sendState == SendWaitConfirm) {
        sendState = SendPending;
    }
    if (sendState != SendReady)
        return;

    apsReq = Halvik::ApsDataRequest();
    if (!buildRequest())
        return;

    // A host may run its events inside the call, and one of them may send anew (a Stop and a
    // Start) and so replace apsReq: the host keeps reading the request it was asked to send.
    const Halvik::ApsDataRequest request = apsReq;
    const unsigned send = ++sendsStarted;
    // Waiting before the call: a host may deliver the confirm from inside it.
    sendState = SendWaitConfirm;
    awaitingConfirm = true;
    Halvik::ApsController *controller = Halvik::ApsController::instance();
    const bool accepted = controller && controller->apsdeDataRequest(request) == 0;
    if (accepted || send != sendsStarted)
        return;
    // A refusal leaves nothing to wait for, also when a tick or a restart came during the call;
    // a stop that came during the call stands, and so does the wait of a send made during it.
    awaitingConfirm = false;
    firstSendHeld = false;
    if (sendState == SendWaitConfirm || sendState == SendPending)
        sendState = SendReady;
}

#ifndef SIGNALTESTCORE_H
#define SIGNALTESTCORE_H

#include <halvik.h>

#include <QPointer>

class QObject;
class QTimer;
class SignalTestDialog;

enum SendState
{
    SendIdle = 0,
    SendReady = 1,
    SendWaitConfirm = 2,
    SendPending = 3
};

// What both signal test plug-ins do alike: follow the node selected in the host, run the send
// loop and hand RSSI and LQI of the node's frames to the dialog. A plug-in's private record
// derives from it and says what it sends and which confirms it counts; the plug-in's slots
// forward here.
//
// At most one request is outstanding. A timer tick that comes while a confirm is awaited is
// remembered (SendPending), and the confirm then sends at once, so the rate is the lower of one
// per interval and one per confirm round trip. A Start while the previous run's last request
// still awaits its confirm holds the first send until that confirm, but no longer than the first
// tick, so that a confirm that never comes cannot stall every later test.
class SignalTestCore
{
public:
    // Wires the send timer and the controller's signals to the plug-in's slots of the same
    // names, which must exist by then: construct this from the plug-in's own constructor.
    explicit SignalTestCore(QObject *plugin);
    virtual ~SignalTestCore();

    SignalTestDialog *createDialog();

    void nodeEvent(const Halvik::NodeEvent &event);
    void apsdeDataIndication(const Halvik::ApsDataIndication &ind);
    void apsdeDataConfirm(const Halvik::ApsDataConfirm &conf);
    void startSending();
    void stopSending();
    void sendTimerFired();

protected:
    virtual SignalTestDialog *newDialog() const = 0;
    virtual bool canStart() const = 0;
    // Fills apsReq, which is freshly constructed; false sends nothing this time.
    virtual bool buildRequest() = 0;
    virtual bool counts(const Halvik::ApsDataConfirm &conf) const = 0;

    // Guarded: the dialog belongs to the host once created, and the host may delete it.
    QPointer<SignalTestDialog> dialog;
    int packetCount = 0;
    SendState sendState = SendIdle;
    Halvik::Address node;
    QTimer *sendTimer;
    Halvik::ApsDataRequest apsReq;

private:
    QObject *const plugin;
    // Tells a send whether another one was made while the host had it.
    unsigned sendsStarted = 0;
    // The host accepted apsReq, or has it still, and its confirm has not come; kept across Stop.
    bool awaitingConfirm = false;
    // This run's first send waits for the confirm of the previous run's last request.
    bool firstSendHeld = false;
};

#endif // SIGNALTESTCORE_H

#ifndef SIMNETWORK_H
#define SIMNETWORK_H

#include <halvik.h>

#include <QList>
#include <QTimer>
#include <QVector>

#include <random>

// A small Zigbee network behind the host's APS data service, for running plug-ins without a
// radio. A fixed roster of nodes can be taken out of and brought back into the network; each
// node reports a frame periodically, answers IEEE address requests, and every accepted request
// is confirmed after the set latency, successfully at the set rate.
//
// All randomness comes from the seed: each node draws its radio figures from its own
// generator and the delivery outcomes come from another, so the figures do not depend on how
// the timers of a run happen to interleave.
class SimNetwork : public Halvik::ApsController
{
    Q_OBJECT

public:
    // Confirm statuses, as a Zigbee MAC layer reports them.
    enum Status : quint8
    {
        Success = 0x00,
        // A frame lost to the simulated radio (the success rate).
        ChannelAccessFailure = 0xE1,
        // A unicast to a node that is not in the network.
        NoAck = 0xE9
    };

    static constexpr quint16 ZdpProfile = 0x0000;
    static constexpr quint16 IeeeAddressRequestCluster = 0x0001;
    static constexpr quint16 IeeeAddressResponseCluster = 0x8001;
    // What a node's periodic frame carries: its neighbour table, as if the host polled it.
    static constexpr quint16 MgmtLqiResponseCluster = 0x8031;
    static constexpr int RosterSize = 5;
    static constexpr int MinRssi = -90;
    static constexpr int MaxRssi = -30;
    static constexpr int MinLqi = 60;
    static constexpr int MaxLqi = 255;

    explicit SimNetwork(quint32 seed, QObject *parent = nullptr);

    // Accepts (0) every request with a destination and confirms it later, never from inside
    // this call; refuses (-1) a request without destination address mode.
    int apsdeDataRequest(const Halvik::ApsDataRequest &req) override;
    QString stringParameter(int parameter) override;

    quint32 seed() const { return randomSeed; }
    void setWebAppDirectory(const QString &directory);
    int latency() const { return latencyMs; }
    void setLatency(int milliseconds);
    int successRate() const { return successPercent; }
    void setSuccessRate(int percent);
    // Each node reports once per interval; 0 stops the periodic reports.
    void setReportInterval(int milliseconds);

    // The nodes in the network, in roster order; the indexes below refer to this list.
    QList<Halvik::Node> nodes() const;
    void selectNode(int index);
    // Tells the plug-ins again which node is selected, as the host does after creating a
    // dialog, which would otherwise not know; nothing while no node is selected.
    void resendSelection();
    // Also ends the selection when the node is the selected one.
    void removeNode(int index);
    // Brings back the first removed node of the roster; false when none is missing.
    bool addNode();

    int requestsReceived() const { return requests; }
    int confirmsSent() const { return confirms; }
    int successfulConfirms() const { return successes; }
    int indicationsSent() const { return indications; }

public slots:
    // The next roster slot's periodic frame; a slot whose node is removed stays silent.
    void sendNextReport();

signals:
    void figuresChanged();

private:
    struct SimNode
    {
        Halvik::Node node;
        bool present = true;
        int baseRssi = 0;
        std::mt19937 radio;
    };

    SimNode *presentNode(int index);
    SimNode *findNode(const Halvik::ApsDataRequest &req);
    bool delivered();
    void confirm(quint8 id, quint8 status);
    void answerIeeeAddressRequest(quint64 ext);
    void sendFrame(SimNode &from, quint16 cluster);

    const quint32 randomSeed;
    QVector<SimNode> roster;
    std::mt19937 delivery;
    QTimer reportTimer;
    int nextReportSlot = 0;
    // The roster slot of the selected node; -1 when none is.
    int selectedSlot = -1;
    QString webAppDirectory;
    int latencyMs = 30;
    int successPercent = 90;
    int requests = 0;
    int confirms = 0;
    int successes = 0;
    int indications = 0;
};

#endif // SIMNETWORK_H

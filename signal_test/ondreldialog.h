#ifndef ONDRELDIALOG_H
#define ONDRELDIALOG_H

#include "signaltestdialog.h"

class QLineEdit;
class QRadioButton;

// The signal test window: besides the shared rows, the choice of how frames are addressed
// (broadcast to all routers, broadcast to all, a group, or the selected node) and the group.
class OndrelDialog : public SignalTestDialog
{
    Q_OBJECT

public:
    explicit OndrelDialog(QWidget *parent = nullptr);

    // Also remembers the node's network address as the unicast destination.
    void setNode(const Halvik::Address &address) override;
    Halvik::ApsAddressMode addressMode() const;
    quint16 destinationAddress() const;

signals:
    void startPressed();
    void stopPressed();

public slots:
    void start();
    void stop() override;

private slots:
    void groupAddressEdited();

private:
    // The network address that stands for "no node".
    static constexpr quint16 NoNode = 0xFFFE;

    QRadioButton *newModeButton(int position, const char *objectName, const char *text);

    QRadioButton *broadcastAllRoutersRadioButton;
    QRadioButton *broadcastAllRadioButton;
    QRadioButton *groupcastRadioButton;
    QRadioButton *unicastRadioButton;
    QLineEdit *groupAddressLineEdit;
    quint16 nodeNwk = NoNode;
    quint16 groupAddress = 0;
};

#endif // ONDRELDIALOG_H

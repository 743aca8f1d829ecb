#ifndef SIGNALTESTDIALOG_H
#define SIGNALTESTDIALOG_H

#include <halvik.h>

#include <QDialog>

class QFormLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QVBoxLayout;

// The part of the signal test windows that both plug-ins share: the introductory text, the node,
// delay, RSSI, LQI and status rows, the Start/Stop/Close row, and the status shown while a test
// runs. Each window adds its own signals and slots; the core reaches it through this class.
class SignalTestDialog : public QDialog
{
    Q_OBJECT

public:
    virtual void setNode(const Halvik::Address &address);
    int delay() const;
    // The three setters only store; the figures appear at the next updateStatus().
    void setPacketCount(int count);
    void setLqi(int lqi);
    void setRssi(int rssi);
    void updateStatus();
    virtual void stop() = 0;

protected:
    // formName is both the dialog's object name and the translation context of its texts.
    SignalTestDialog(const char *formName, const char *title, const QSize &size, QWidget *parent);

    QString translated(const char *text) const;
    // row -1 appends.
    void insertFormRow(int row, const char *labelName, const char *labelText, QWidget *field);
    // Called last by each window's constructor: only the finished window's meta-object knows
    // start() and stop(), and only the finished layout gives the order for the Tab key.
    void finishForm();
    // False when a test already runs.
    bool beginRun();
    void endRun();

    QVBoxLayout *verticalLayout;
    QFormLayout *formLayout;

private:
    QLineEdit *newReadOnlyLineEdit(const char *objectName, const char *text);
    QPushButton *newPushButton(const char *objectName, const char *text);

    const char *const context;
    QLineEdit *nodeLineEdit;
    QSpinBox *delaySpinBox;
    QLineEdit *rssiLineEdit;
    QLineEdit *lqiLineEdit;
    QLabel *statusLabel;
    QPushButton *startButton;
    QPushButton *stopButton;
    QPushButton *closeButton;
    int packetCount = 0;
    bool running = false;
    int lqi = 0;
    int rssi = 0;
};

#endif // SIGNALTESTDIALOG_H

#ifndef KALSIGNALPLUGIN_H
#define KALSIGNALPLUGIN_H

#include <halvik.h>

#include <QObject>

#include <memory>

class KalSignalPluginPrivate;

// Signal monitor: polls the selected node with IEEE address requests and counts the ones
// that the host confirms as delivered.
class KalSignalPlugin : public QObject, public Halvik::NodeInterface
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.quenlab.KalSignalPlugin")
    Q_INTERFACES(Halvik::NodeInterface)

public:
    explicit KalSignalPlugin(QObject *parent = nullptr);
    ~KalSignalPlugin() override;

    const char *name() override;
    bool hasFeature(int feature) override;
    QWidget *createWidget() override;
    QDialog *createDialog() override;

public slots:
    void nodeEvent(const Halvik::NodeEvent &event);
    void apsdeDataIndication(const Halvik::ApsDataIndication &ind);
    void apsdeDataConfirm(const Halvik::ApsDataConfirm &conf);
    void startSending();
    void stopSending();
    void sendTimerFired();

private:
    std::unique_ptr<KalSignalPluginPrivate> d;
};

#endif // KALSIGNALPLUGIN_H

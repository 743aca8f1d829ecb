#ifndef ONDRELPLUGIN_H
#define ONDRELPLUGIN_H

#include <halvik.h>

#include <QObject>

#include <memory>

class OndrelPluginPrivate;

// Signal test: sends an On/Off cluster command again and again, as a broadcast, a groupcast
// or a unicast to the selected node, and counts the confirmed transmissions.
class OndrelPlugin : public QObject, public Halvik::NodeInterface
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.quenlab.OndrelPlugin")
    Q_INTERFACES(Halvik::NodeInterface)

public:
    explicit OndrelPlugin(QObject *parent = nullptr);
    ~OndrelPlugin() override;

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
    std::unique_ptr<OndrelPluginPrivate> d;
};

#endif // ONDRELPLUGIN_H

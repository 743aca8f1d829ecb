#ifndef PROBEPLUGIN_H
#define PROBEPLUGIN_H

#include <halvik.h>

#include <QObject>

// Does what a real plug-in does at the host boundary, and nothing more: asks the controller
// for a parameter, prints through the host, and follows the controller's node events
// (recording the last code in the property "lastEvent").
class ProbePlugin : public QObject, public Halvik::NodeInterface
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.quenlab.ProbePlugin")
    Q_INTERFACES(Halvik::NodeInterface)

public:
    explicit ProbePlugin(QObject *parent = nullptr);

    const char *name() override;
    bool hasFeature(int feature) override;
    QWidget *createWidget() override;
    QDialog *createDialog() override;

private slots:
    void nodeEvent(const Halvik::NodeEvent &event);
};

#endif // PROBEPLUGIN_H

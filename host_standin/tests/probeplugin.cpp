#include "probeplugin.h"

ProbePlugin::ProbePlugin(QObject *parent) : QObject(parent)
{
    Halvik::ApsController *controller = Halvik::ApsController::instance();
    const QString dir = controller->stringParameter(Halvik::ApsController::WebAppDirectory);
    DBG_Printf(1, "probe: %s\n", qPrintable(dir));
    connect(controller, SIGNAL(nodeEvent(Halvik::NodeEvent)), this,
            SLOT(nodeEvent(Halvik::NodeEvent)));
}

const char *ProbePlugin::name()
{
    return "Probe Plugin";
}

bool ProbePlugin::hasFeature(int)
{
    return false;
}

QWidget *ProbePlugin::createWidget()
{
    return nullptr;
}

QDialog *ProbePlugin::createDialog()
{
    return nullptr;
}

void ProbePlugin::nodeEvent(const Halvik::NodeEvent &event)
{
    setProperty("lastEvent", event.event());
}

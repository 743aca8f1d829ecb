#include "ondrelplugin.h"

#include "ondrelpluginprivate.h"
#include "signaltestdialog.h"

OndrelPlugin::OndrelPlugin(QObject *parent) : QObject(parent), d(new OndrelPluginPrivate(this)) {}

OndrelPlugin::~OndrelPlugin() = default;

const char *OndrelPlugin::name()
{
    return "Ondrel Plugin";
}

bool OndrelPlugin::hasFeature(int feature)
{
    return feature == DialogFeature;
}

QWidget *OndrelPlugin::createWidget()
{
    return nullptr;
}

QDialog *OndrelPlugin::createDialog()
{
    return d->createDialog();
}

void OndrelPlugin::nodeEvent(const Halvik::NodeEvent &event)
{
    d->nodeEvent(event);
}

void OndrelPlugin::apsdeDataIndication(const Halvik::ApsDataIndication &ind)
{
    d->apsdeDataIndication(ind);
}

void OndrelPlugin::apsdeDataConfirm(const Halvik::ApsDataConfirm &conf)
{
    d->apsdeDataConfirm(conf);
}

void OndrelPlugin::startSending()
{
    d->startSending();
}

void OndrelPlugin::stopSending()
{
    d->stopSending();
}

void OndrelPlugin::sendTimerFired()
{
    d->sendTimerFired();
}

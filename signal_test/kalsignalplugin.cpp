#include "kalsignalplugin.h"

#include "kalsignalpluginprivate.h"
#include "signaltestdialog.h"

KalSignalPlugin::KalSignalPlugin(QObject *parent)
    : QObject(parent), d(new KalSignalPluginPrivate(this))
{
}

KalSignalPlugin::~KalSignalPlugin() = default;

const char *KalSignalPlugin::name()
{
    return "Signal Monitor Plugin";
}

bool KalSignalPlugin::hasFeature(int feature)
{
    return feature == DialogFeature;
}

QWidget *KalSignalPlugin::createWidget()
{
    return nullptr;
}

QDialog *KalSignalPlugin::createDialog()
{
    return d->createDialog();
}

void KalSignalPlugin::nodeEvent(const Halvik::NodeEvent &event)
{
    d->nodeEvent(event);
}

void KalSignalPlugin::apsdeDataIndication(const Halvik::ApsDataIndication &ind)
{
    d->apsdeDataIndication(ind);
}

void KalSignalPlugin::apsdeDataConfirm(const Halvik::ApsDataConfirm &conf)
{
    d->apsdeDataConfirm(conf);
}

void KalSignalPlugin::startSending()
{
    d->startSending();
}

void KalSignalPlugin::stopSending()
{
    d->stopSending();
}

void KalSignalPlugin::sendTimerFired()
{
    d->sendTimerFired();
}

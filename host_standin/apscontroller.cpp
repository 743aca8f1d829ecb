#include "apscontroller.h"

#include <atomic>

namespace Halvik {

namespace {

std::atomic<ApsController *> currentController{nullptr};

} // namespace

ApsController::ApsController(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<Halvik::NodeEvent>("Halvik::NodeEvent");
    qRegisterMetaType<Halvik::ApsDataIndication>("Halvik::ApsDataIndication");
    qRegisterMetaType<Halvik::ApsDataConfirm>("Halvik::ApsDataConfirm");
    currentController = this;
}

ApsController::~ApsController()
{
    // A newer controller stays in place when an older one goes.
    ApsController *self = this;
    currentController.compare_exchange_strong(self, nullptr);
}

ApsController *ApsController::instance()
{
    return currentController;
}

int ApsController::apsdeDataRequest(const ApsDataRequest &)
{
    return -1;
}

QString ApsController::stringParameter(int)
{
    return QString();
}

} // namespace Halvik

#ifndef ONDRELPLUGINPRIVATE_H
#define ONDRELPLUGINPRIVATE_H

#include "signaltestcore.h"

// The signal test's choices in the shared send loop: the destination that the dialog's mode
// selects, an On/Off "on with timed off" command as payload, and every matching confirm counts,
// whatever its status.
class OndrelPluginPrivate : public SignalTestCore
{
public:
    explicit OndrelPluginPrivate(QObject *plugin);

private:
    SignalTestDialog *newDialog() const override;
    bool canStart() const override;
    bool buildRequest() override;
    bool counts(const Halvik::ApsDataConfirm &conf) const override;
};

#endif // ONDRELPLUGINPRIVATE_H

#ifndef KALSIGNALPLUGINPRIVATE_H
#define KALSIGNALPLUGINPRIVATE_H

#include "signaltestcore.h"

// The signal monitor's choices in the shared send loop: an IEEE address request unicast to
// the selected node, which must be known by its extended address before a test starts, and
// only confirms of successful delivery count.
class KalSignalPluginPrivate : public SignalTestCore
{
public:
    explicit KalSignalPluginPrivate(QObject *plugin);

private:
    SignalTestDialog *newDialog() const override;
    bool canStart() const override;
    bool buildRequest() override;
    bool counts(const Halvik::ApsDataConfirm &conf) const override;
};

#endif // KALSIGNALPLUGINPRIVATE_H

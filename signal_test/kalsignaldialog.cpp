#include "kalsignaldialog.h"

#include <QPointer>

KalSignalDialog::KalSignalDialog(QWidget *parent)
    : SignalTestDialog("KalSignalDialog", "Signal Monitor", QSize(469, 261), parent)
{
    finishForm();
}

void KalSignalDialog::start()
{
    if (!beginRun())
        return;
    // The first request goes to the host inside this signal, and the host may delete the
    // window while it has it.
    const QPointer<KalSignalDialog> self(this);
    emit startPressed();
    if (self)
        updateStatus();
}

void KalSignalDialog::stop()
{
    endRun();
    emit stopPressed();
}

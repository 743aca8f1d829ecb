#include "kalsignaldialog.h"

KalSignalDialog::KalSignalDialog(QWidget *parent)
    : SignalTestDialog("KalSignalDialog", "Signal Monitor", QSize(469, 261), parent)
{
    finishForm();
}

void KalSignalDialog::start()
{
    if (!beginRun())
        return;
    emit startPressed();
    updateStatus();
}

void KalSignalDialog::stop()
{
    endRun();
    emit stopPressed();
}

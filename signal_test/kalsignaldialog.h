#ifndef KALSIGNALDIALOG_H
#define KALSIGNALDIALOG_H

#include "signaltestdialog.h"

// The signal monitor window: only the shared rows, as the monitor always asks the selected node.
class KalSignalDialog : public SignalTestDialog
{
    Q_OBJECT

public:
    explicit KalSignalDialog(QWidget *parent = nullptr);

signals:
    void startPressed();
    void stopPressed();

public slots:
    void start();
    void stop() override;
};

#endif // KALSIGNALDIALOG_H

#include "signaltestdialog.h"

#include <QCoreApplication>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpacerItem>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// The widgets of the layout and its nested layouts from top to bottom and left to right; a
// form layout's rows in row order, whatever order they were inserted in.
QWidgetList laidOutWidgets(QLayout *layout)
{
    QList<QLayoutItem *> items;
    if (auto *form = qobject_cast<QFormLayout *>(layout)) {
        for (int row = 0; row < form->rowCount(); ++row)
            items << form->itemAt(row, QFormLayout::LabelRole)
                  << form->itemAt(row, QFormLayout::FieldRole);
    } else {
        for (int index = 0; index < layout->count(); ++index)
            items << layout->itemAt(index);
    }
    QWidgetList widgets;
    for (QLayoutItem *item : items) {
        if (item && item->widget())
            widgets << item->widget();
        else if (item && item->layout())
            widgets << laidOutWidgets(item->layout());
    }
    return widgets;
}

} // namespace

SignalTestDialog::SignalTestDialog(const char *formName, const char *title, const QSize &size,
                                   QWidget *parent)
    : QDialog(parent), context(formName)
{
    if (objectName().isEmpty())
        setObjectName(QString::fromLatin1(formName));
    resize(size);
    setWindowTitle(translated(title));

    verticalLayout = new QVBoxLayout(this);
    verticalLayout->setObjectName(QStringLiteral("verticalLayout"));

    auto *introLabel = new QLabel(
        translated("Send continious packetes to test signal strength to the selected node."), this);
    introLabel->setObjectName(QStringLiteral("label"));
    introLabel->setWordWrap(true);
    verticalLayout->addWidget(introLabel);

    formLayout = new QFormLayout;
    formLayout->setObjectName(QStringLiteral("formLayout"));
    verticalLayout->addLayout(formLayout);

    nodeLineEdit = newReadOnlyLineEdit("nodeLineEdit", "no node selected");
    insertFormRow(-1, "label_3", "Node", nodeLineEdit);

    delaySpinBox = new QSpinBox(this);
    delaySpinBox->setObjectName(QStringLiteral("delaySpinBox"));
    delaySpinBox->setRange(10, 10000);
    delaySpinBox->setSingleStep(10);
    delaySpinBox->setValue(100);
    delaySpinBox->setSuffix(translated(" ms"));
    insertFormRow(-1, "label_2", "Delay", delaySpinBox);

    rssiLineEdit = newReadOnlyLineEdit("rssiLineEdit", "0");
    insertFormRow(-1, "label_4", "RSSI", rssiLineEdit);
    lqiLineEdit = newReadOnlyLineEdit("lqiLineEdit", "0");
    insertFormRow(-1, "label_5", "LQI", lqiLineEdit);

    statusLabel = new QLabel(translated("Not running"), this);
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    insertFormRow(-1, "label_6", "Status", statusLabel);

    auto *horizontalLayout = new QHBoxLayout;
    horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
    horizontalLayout->addItem(
        new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    startButton = newPushButton("startButton", "Start");
    startButton->setCheckable(false);
    horizontalLayout->addWidget(startButton);
    stopButton = newPushButton("stopButton", "Stop");
    horizontalLayout->addWidget(stopButton);
    closeButton = newPushButton("closeButton", "Close");
    horizontalLayout->addWidget(closeButton);
    verticalLayout->addLayout(horizontalLayout);
}

void SignalTestDialog::setNode(const Halvik::Address &address)
{
    nodeLineEdit->setText(address.toStringExt());
}

int SignalTestDialog::delay() const
{
    return delaySpinBox->value();
}

void SignalTestDialog::setPacketCount(int count)
{
    packetCount = count;
}

void SignalTestDialog::setLqi(int lqi)
{
    this->lqi = lqi;
}

void SignalTestDialog::setRssi(int rssi)
{
    this->rssi = rssi;
}

void SignalTestDialog::updateStatus()
{
    if (!running) {
        statusLabel->setText(translated("Stopped"));
        return;
    }
    lqiLineEdit->setText(QString::number(lqi));
    rssiLineEdit->setText(QString::number(rssi));
    statusLabel->setText(QStringLiteral("Send %1 packets").arg(packetCount));
}

QString SignalTestDialog::translated(const char *text) const
{
    return QCoreApplication::translate(context, text);
}

void SignalTestDialog::insertFormRow(int row, const char *labelName, const char *labelText,
                                     QWidget *field)
{
    auto *label = new QLabel(translated(labelText), this);
    label->setObjectName(QString::fromLatin1(labelName));
    formLayout->insertRow(row, label, field);
}

void SignalTestDialog::finishForm()
{
    connect(startButton, SIGNAL(clicked()), this, SLOT(start()));
    connect(stopButton, SIGNAL(clicked()), this, SLOT(stop()));
    connect(closeButton, SIGNAL(clicked()), this, SLOT(close()));

    // Widgets a window adds to the shared ones come later in the creation order, which Tab
    // would otherwise follow. Qt leaves widgets that take no focus out of the chain.
    QWidgetList chain;
    for (QWidget *widget : laidOutWidgets(verticalLayout)) {
        if (widget->focusPolicy() != Qt::NoFocus)
            chain << widget;
    }
    for (int i = 1; i < chain.size(); ++i)
        setTabOrder(chain.at(i - 1), chain.at(i));
    // The ring now runs in layout order, but the window would still enter it where the
    // creation order says. It opens on the first widget the user can change; the read-only
    // fields stay in the ring so that their text can be copied.
    const auto changeable = std::find_if(chain.cbegin(), chain.cend(), [](QWidget *widget) {
        auto *lineEdit = qobject_cast<QLineEdit *>(widget);
        return !lineEdit || !lineEdit->isReadOnly();
    });
    (*changeable)->setFocus();
}

bool SignalTestDialog::beginRun()
{
    if (running)
        return false;
    packetCount = 0;
    running = true;
    return true;
}

void SignalTestDialog::endRun()
{
    running = false;
    updateStatus();
}

QLineEdit *SignalTestDialog::newReadOnlyLineEdit(const char *objectName, const char *text)
{
    auto *lineEdit = new QLineEdit(translated(text), this);
    lineEdit->setObjectName(QString::fromLatin1(objectName));
    lineEdit->setReadOnly(true);
    return lineEdit;
}

QPushButton *SignalTestDialog::newPushButton(const char *objectName, const char *text)
{
    auto *pushButton = new QPushButton(translated(text), this);
    pushButton->setObjectName(QString::fromLatin1(objectName));
    return pushButton;
}

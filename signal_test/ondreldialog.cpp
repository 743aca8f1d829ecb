#include "ondreldialog.h"

#include <QFormLayout>
#include <QLineEdit>
#include <QPointer>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

const quint16 BroadcastAllRouters = 0xFFFC;
const quint16 BroadcastAll = 0xFFFF;
// Between the LQI and the Status row.
const int GroupRow = 4;

} // namespace

OndrelDialog::OndrelDialog(QWidget *parent)
    : SignalTestDialog("OndrelDialog", "Ondrel", QSize(497, 309), parent)
{
    // Siblings without a button group: auto-exclusive, so exactly one stays checked.
    broadcastAllRoutersRadioButton =
        newModeButton(1, "broadcastAllRoutersRadioButton", "Broadcast All Routers");
    broadcastAllRoutersRadioButton->setChecked(true);
    broadcastAllRadioButton = newModeButton(2, "broadcastAllRadioButton", "Broadcast All");
    groupcastRadioButton = newModeButton(3, "groupcastRadioButton", "Groupcast");
    unicastRadioButton = newModeButton(4, "unicastRadioButton", "Unicast");

    groupAddressLineEdit = new QLineEdit(this);
    groupAddressLineEdit->setObjectName(QStringLiteral("groupAddressLineEdit"));
    insertFormRow(GroupRow, "label_7", "Group", groupAddressLineEdit);
    groupAddressLineEdit->setText(QStringLiteral("0"));

    // After the first Group text, which therefore does not reach groupAddressEdited().
    finishForm();
    connect(groupAddressLineEdit, SIGNAL(textChanged(QString)), this, SLOT(groupAddressEdited()));
}

void OndrelDialog::setNode(const Halvik::Address &address)
{
    SignalTestDialog::setNode(address);
    nodeNwk = address.hasNwk() ? address.nwk() : NoNode;
}

Halvik::ApsAddressMode OndrelDialog::addressMode() const
{
    if (broadcastAllRadioButton->isChecked() || broadcastAllRoutersRadioButton->isChecked() ||
        unicastRadioButton->isChecked())
        return Halvik::ApsNwkAddress;
    if (groupcastRadioButton->isChecked())
        return Halvik::ApsGroupAddress;
    return Halvik::ApsNoAddress;
}

quint16 OndrelDialog::destinationAddress() const
{
    if (unicastRadioButton->isChecked())
        return nodeNwk;
    if (broadcastAllRadioButton->isChecked())
        return BroadcastAll;
    if (broadcastAllRoutersRadioButton->isChecked())
        return BroadcastAllRouters;
    if (groupcastRadioButton->isChecked())
        return groupAddress;
    return 0;
}

void OndrelDialog::start()
{
    if (!beginRun())
        return;
    // The first request goes to the host inside this signal, and the host may delete the
    // window while it has it.
    const QPointer<OndrelDialog> self(this);
    emit startPressed();
    if (self)
        updateStatus();
}

void OndrelDialog::stop()
{
    endRun();
    emit stopPressed();
}

void OndrelDialog::groupAddressEdited()
{
    // Base 0 reads "0x10" as hexadecimal and "010" as octal; anything unreadable is group 0,
    // and a number beyond 16 bits keeps its low 16 bits.
    groupAddress = quint16(groupAddressLineEdit->text().toInt(nullptr, 0));
}

QRadioButton *OndrelDialog::newModeButton(int position, const char *objectName, const char *text)
{
    auto *button = new QRadioButton(translated(text), this);
    button->setObjectName(QString::fromLatin1(objectName));
    verticalLayout->insertWidget(position, button);
    return button;
}

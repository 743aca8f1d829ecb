#include "dialogdriver.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>

template <typename Widget> Widget *DialogDriver::find(const QString &objectName) const
{
    return dialog ? dialog->findChild<Widget *>(objectName) : nullptr;
}

bool DialogDriver::has(const QString &objectName) const
{
    return find<QWidget>(objectName);
}

bool DialogDriver::click(const QString &objectName)
{
    auto *button = find<QAbstractButton>(objectName);
    if (button)
        button->click();
    return button;
}

bool DialogDriver::setValue(const QString &objectName, int value)
{
    auto *spinBox = find<QSpinBox>(objectName);
    if (!spinBox || value < spinBox->minimum() || value > spinBox->maximum())
        return false;
    spinBox->setValue(value);
    return true;
}

bool DialogDriver::setText(const QString &objectName, const QString &text)
{
    auto *lineEdit = find<QLineEdit>(objectName);
    if (lineEdit)
        lineEdit->setText(text);
    return lineEdit;
}

QString DialogDriver::text(const QString &objectName) const
{
    if (auto *label = find<QLabel>(objectName))
        return label->text();
    if (auto *lineEdit = find<QLineEdit>(objectName))
        return lineEdit->text();
    return QString();
}

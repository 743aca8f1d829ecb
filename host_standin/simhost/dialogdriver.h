#ifndef DIALOGDRIVER_H
#define DIALOGDRIVER_H

#include <QDialog>
#include <QPointer>
#include <QString>

// Works a plug-in's dialog through the object names of its widgets, as a user would: the host
// knows nothing of the dialog's classes. Every operation fails (false or an empty text) when
// the dialog has no widget of that name and kind.
class DialogDriver
{
public:
    explicit DialogDriver(QDialog *dialog) : dialog(dialog) {}

    bool has(const QString &objectName) const;
    // Buttons (push and radio).
    bool click(const QString &objectName);
    // Spin boxes; false also when the value is outside the box's range.
    bool setValue(const QString &objectName, int value);
    // Line edits.
    bool setText(const QString &objectName, const QString &text);
    // Labels and line edits.
    QString text(const QString &objectName) const;

private:
    template <typename Widget> Widget *find(const QString &objectName) const;

    QPointer<QDialog> dialog;
};

#endif // DIALOGDRIVER_H

#include "screenshots.h"

#include "dialogdriver.h"
#include "headless.h"
#include "pluginset.h"
#include "simhostwindow.h"

#include <QDir>
#include <QPainter>
#include <QPixmap>

namespace {

// Long enough for several refreshes and a periodic frame from the node under test.
const int TestRunTime = 2500;
const int Margin = 24;
const int NodeRow = 1;

QPixmap sideBySide(const QPixmap &window, const QPixmap &dialog)
{
    QPixmap picture(window.width() + dialog.width() + 3 * Margin,
                    qMax(window.height(), dialog.height() + 2 * Margin) + 2 * Margin);
    picture.fill(QColor(0x55, 0x60, 0x6e));
    QPainter painter(&picture);
    painter.drawPixmap(Margin, Margin, window);
    painter.drawPixmap(window.width() + 2 * Margin, 3 * Margin, dialog);
    return picture;
}

} // namespace

int Screenshots::save(const QString &directory)
{
    const QDir dir(directory);
    if (!dir.mkpath(QStringLiteral("."))) {
        Headless::printError(QStringLiteral("cannot create %1").arg(directory));
        return 1;
    }
    window.show();
    int saved = 0;
    for (int index = 0; index < plugins.plugins().size(); ++index) {
        DialogDriver driver(plugins.dialog(index));
        if (!driver.has("startButton"))
            continue;
        QDialog *dialog = window.openDialog(index);
        window.selectNode(NodeRow);
        driver.click("startButton");
        Headless::runEventsFor(TestRunTime);

        QString name = plugins.plugins().at(index).shortName;
        const QString fileName =
            dir.filePath(QStringLiteral("simhost-%1.png").arg(name.replace('_', '-')));
        const bool ok = sideBySide(window.grab(), dialog->grab()).save(fileName);
        driver.click("stopButton");
        dialog->hide();
        if (!ok) {
            Headless::printError(QStringLiteral("cannot save %1").arg(fileName));
            return 1;
        }
        Headless::printLine(QStringLiteral("saved %1").arg(fileName));
        ++saved;
    }
    if (saved == 0) {
        Headless::printError(QStringLiteral("no plug-in with a signal test dialog loaded"));
        return 1;
    }
    return 0;
}

#include "webapprun.h"

#include "headless.h"
#include "simhostoptions.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>

namespace {

const int TouchAfter = 500;

// Writes the file's own bytes back over it, in place, so that a failure halfway cannot cost
// its content, and stamps it with the current time; a missing file is created, as touch does.
QString rewrite(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return file.errorString();
    const QByteArray content = file.readAll();
    if (!file.seek(0) || file.write(content) != content.size() || !file.flush() ||
        !file.setFileTime(QDateTime::currentDateTime(), QFileDevice::FileModificationTime))
        return file.errorString();
    return QString();
}

} // namespace

int WebAppRun::run()
{
    const int total = qRound(options.seconds * 1000);
    Headless::printLine(
        QStringLiteral("serving %1 for %2 s").arg(options.webAppDir).arg(options.seconds));
    QElapsedTimer clock;
    clock.start();
    if (!options.touchFile.isEmpty()) {
        Headless::runEventsFor(qMin(TouchAfter, total));
        const QString problem = rewrite(options.touchFile);
        if (!problem.isEmpty()) {
            Headless::printError(
                QStringLiteral("cannot rewrite %1: %2").arg(options.touchFile, problem));
            return 1;
        }
        Headless::printLine(QStringLiteral("rewrote %1").arg(options.touchFile));
    }
    Headless::runEventsFor(qMax(0, int(total - clock.elapsed())));
    Headless::printLine(QStringLiteral("stopped after %1 s").arg(options.seconds));
    return 0;
}

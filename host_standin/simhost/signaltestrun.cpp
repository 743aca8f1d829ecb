#include "signaltestrun.h"

#include "dialogdriver.h"
#include "headless.h"
#include "pluginset.h"
#include "simhostoptions.h"
#include "simnetwork.h"

#include <QElapsedTimer>
#include <QHash>
#include <QtMath>

namespace {

const int PrintInterval = 500;

QString figures(const DialogDriver &driver)
{
    return QStringLiteral("%1  RSSI %2  LQI %3")
        .arg(driver.text("statusLabel"), driver.text("rssiLineEdit"), driver.text("lqiLineEdit"));
}

} // namespace

SignalTestRun::SignalTestRun(SimNetwork &network, PluginSet &plugins, const SimHostOptions &options)
    : network(network), plugins(plugins), options(options)
{
}

int SignalTestRun::run()
{
    const int index = plugins.find(options.plugin);
    if (index < 0) {
        QStringList names;
        for (const PluginSet::Plugin &plugin : plugins.plugins())
            names << plugin.shortName;
        Headless::printError(QStringLiteral("no plug-in \"%1\" loaded (found: %2)")
                                 .arg(options.plugin, names.join(QStringLiteral(", "))));
        return 1;
    }
    const PluginSet::Plugin &plugin = plugins.plugins().at(index);
    const QList<Halvik::Node> nodes = network.nodes();
    if (options.node > nodes.size()) {
        Headless::printError(
            QStringLiteral("--node needs a node number from 1 to %1").arg(nodes.size()));
        return 2;
    }
    // As a user may: select first, then open the dialog, which the host tells of the node.
    network.selectNode(options.node - 1);
    DialogDriver driver(plugins.dialog(index));
    if (!driver.has("startButton")) {
        Headless::printError(QStringLiteral("%1 has no signal test dialog").arg(plugin.name));
        return 1;
    }
    const QString problem = start(driver, plugin.name);
    if (!problem.isEmpty()) {
        Headless::printError(problem);
        return 2;
    }

    const Halvik::Address &address = nodes.at(options.node - 1).address();
    Headless::printLine(QStringLiteral("%1: node %2 (%3, nwk 0x%4), latency %5 ms, success rate "
                                       "%6%, seed %7")
                            .arg(plugin.name)
                            .arg(options.node)
                            .arg(address.toStringExt())
                            .arg(address.nwk(), 4, 16, QLatin1Char('0'))
                            .arg(network.latency())
                            .arg(network.successRate())
                            .arg(options.seed));
    QElapsedTimer clock;
    clock.start();
    const int prints = qMax(1, qRound(options.seconds * 1000 / PrintInterval));
    for (int print = 1; print <= prints; ++print) {
        // Against the clock, so that the lines do not drift.
        Headless::runEventsFor(qMax(0, int(print * PrintInterval - clock.elapsed())));
        Headless::printLine(QStringLiteral("t=%1s  %2")
                                .arg(print * PrintInterval / 1000.0, 0, 'f', 1)
                                .arg(figures(driver)));
    }
    driver.click("stopButton");
    Headless::printLine(QStringLiteral("final  %1").arg(figures(driver)));
    Headless::printLine(QStringLiteral("host: %1 requests received, %2 confirms sent (%3 "
                                       "successful), %4 indications sent")
                            .arg(network.requestsReceived())
                            .arg(network.confirmsSent())
                            .arg(network.successfulConfirms())
                            .arg(network.indicationsSent()));
    return 0;
}

QString SignalTestRun::start(DialogDriver &driver, const QString &pluginName)
{
    const QHash<QString, QString> modeButtons = {
        {"routers", "broadcastAllRoutersRadioButton"},
        {"all", "broadcastAllRadioButton"},
        {"group", "groupcastRadioButton"},
        {"unicast", "unicastRadioButton"},
    };
    if (!options.mode.isEmpty() && !driver.click(modeButtons.value(options.mode)))
        return QStringLiteral("the %1 dialog has no mode %2").arg(pluginName, options.mode);
    if (!options.group.isEmpty() && !driver.setText("groupAddressLineEdit", options.group))
        return QStringLiteral("the %1 dialog has no group field").arg(pluginName);
    if (options.delay && !driver.setValue("delaySpinBox", options.delay))
        return QStringLiteral("the %1 dialog takes no delay of %2 ms")
            .arg(pluginName)
            .arg(options.delay);
    driver.click("startButton");
    return QString();
}

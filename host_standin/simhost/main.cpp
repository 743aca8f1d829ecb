// halvik-simhost: a host for the host plug-ins with a simulated Zigbee network, as a window
// or headless (see --help).

#include "headless.h"
#include "pluginset.h"
#include "screenshots.h"
#include "signaltestrun.h"
#include "simhostoptions.h"
#include "simhostwindow.h"
#include "simnetwork.h"
#include "webapprun.h"

#include <QApplication>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int index = 0; index < argc; ++index)
        arguments << QString::fromLocal8Bit(argv[index]);
    SimHostOptions options;
    const QString problem = options.parse(arguments);
    if (!problem.isEmpty()) {
        Headless::printError(problem + QStringLiteral(" (see --help)"));
        return 2;
    }
    if (options.help) {
        std::fputs(SimHostOptions::usage().toLocal8Bit().constData(), stdout);
        return 0;
    }
    // Runs that show nothing on screen must work where there is no display at all; an explicit
    // platform choice still wins.
    if (!options.needsDisplay() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!options.seeded)
        options.seed = QRandomGenerator::global()->generate();

    // Qt would take some of our options for its own (--plugin loads a Qt plug-in), and ours
    // are all read already.
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    SimNetwork network(options.seed);
    network.setLatency(options.latency);
    network.setSuccessRate(options.successRate);
    // Without a web app of its own the host names an empty private directory: an empty name
    // would have the template plug-in watch, and rebuild into, the working directory.
    const QTemporaryDir noWebApp;
    network.setWebAppDirectory(options.webAppDir.isEmpty() ? noWebApp.path() : options.webAppDir);

    // The controller exists before the first plug-in is loaded: plug-ins connect to it in
    // their constructors.
    PluginSet plugins(network);
    const QString pluginDir = options.pluginDir.isEmpty()
                                  ? QCoreApplication::applicationDirPath() + "/../plugins"
                                  : options.pluginDir;

    if (options.headless) {
        for (const QString &loadProblem : plugins.load(pluginDir))
            Headless::printError(loadProblem);
        if (!options.plugin.isEmpty())
            return SignalTestRun(network, plugins, options).run();
        return WebAppRun(options).run();
    }

    SimHostWindow window(network, plugins, pluginDir);
    if (!options.screenshotDir.isEmpty())
        return Screenshots(window, plugins).save(options.screenshotDir);
    window.show();
    return app.exec();
}

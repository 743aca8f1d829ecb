#ifndef SCREENSHOTS_H
#define SCREENSHOTS_H

class PluginSet;
class QString;
class SimHostWindow;

// Pictures of the simulated host for the documentation: for each plug-in with a signal test
// dialog, the host's window beside the dialog in the middle of a running test.
class Screenshots
{
public:
    Screenshots(SimHostWindow &window, PluginSet &plugins) : window(window), plugins(plugins) {}

    // Saves directory/simhost-<plug-in>.png for each, e.g. simhost-kal-signal.png. Returns
    // the process exit status: 1 when a picture cannot be saved or there is none to take.
    int save(const QString &directory);

private:
    SimHostWindow &window;
    PluginSet &plugins;
};

#endif // SCREENSHOTS_H

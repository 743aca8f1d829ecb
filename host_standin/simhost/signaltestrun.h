#ifndef SIGNALTESTRUN_H
#define SIGNALTESTRUN_H

class DialogDriver;
class PluginSet;
class QString;
class SimHostOptions;
class SimNetwork;

// The headless signal test: selects a node, opens a plug-in's dialog, sets it up from the
// command line, presses Start and prints what the dialog shows every half second, then
// presses Stop and prints the dialog's last word and the host's own figures.
class SignalTestRun
{
public:
    SignalTestRun(SimNetwork &network, PluginSet &plugins, const SimHostOptions &options);

    // The process exit status: 0 after a run, 1 when the plug-in is missing or has no
    // dialog, 2 when the options do not fit the network or the dialog.
    int run();

private:
    // The dialog set up and started, or a message for the user.
    QString start(DialogDriver &driver, const QString &pluginName);

    SimNetwork &network;
    PluginSet &plugins;
    const SimHostOptions &options;
};

#endif // SIGNALTESTRUN_H

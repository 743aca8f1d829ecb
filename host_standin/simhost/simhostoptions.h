#ifndef SIMHOSTOPTIONS_H
#define SIMHOSTOPTIONS_H

#include <QString>
#include <QStringList>

// The simulated host's command line: what to run and how the simulated network behaves.
class SimHostOptions
{
public:
    // Returns an empty string when the arguments (program name first) make sense together,
    // else a message for the user.
    QString parse(const QStringList &arguments);
    static QString usage();

    // Headless runs and screenshots need no display.
    bool needsDisplay() const { return !headless && screenshotDir.isEmpty(); }

    bool help = false;
    QString pluginDir; // empty: ../plugins next to the program
    QString webAppDir;
    bool seeded = false;
    quint32 seed = 0;
    int latency = 30;
    int successRate = 90;

    bool headless = false;
    QString plugin; // a headless signal test with this plug-in
    int node = 1;   // 1-based, in the network's node list
    double seconds = 3;
    QString mode; // a radio button of the dialog, empty: the dialog's default
    QString group;
    int delay = 0; // 0: the dialog's default
    QString touchFile;

    QString screenshotDir;
};

#endif // SIMHOSTOPTIONS_H

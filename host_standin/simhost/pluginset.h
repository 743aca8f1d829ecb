#ifndef PLUGINSET_H
#define PLUGINSET_H

#include <halvik.h>

#include <QDialog>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVector>

class QPluginLoader;
class SimNetwork;

// The host plug-ins loaded from one directory, with the dialogs the host asked them for.
// The host owns those dialogs: a plug-in creates its dialog once and never deletes it.
class PluginSet
{
public:
    struct Plugin
    {
        QString filePath;
        // The file name without "lib", "_plugin" and the suffix: "ondrel", "kal_signal".
        QString shortName;
        QString name;
        QPluginLoader *loader = nullptr;
        Halvik::NodeInterface *nodeInterface = nullptr;
        QPointer<QDialog> dialog;
    };

    // The network is the host's controller, which tells a new dialog the selected node.
    explicit PluginSet(SimNetwork &network) : network(network) {}
    PluginSet(const PluginSet &) = delete;
    PluginSet &operator=(const PluginSet &) = delete;
    ~PluginSet();

    // Loads every host plug-in in the directory, in file name order. Returns one message per
    // library that could not be loaded or is no host plug-in.
    QStringList load(const QString &directory);

    const QVector<Plugin> &plugins() const { return loaded; }
    bool hasDialog(int index) const;
    // The plug-in's dialog, asked for on the first call, which then also tells the plug-ins
    // the selected node; null without the dialog feature.
    QDialog *dialog(int index);
    // The plug-in whose short name is `name` or starts with `name` and "_"; -1 when none.
    int find(const QString &name) const;

private:
    SimNetwork &network;
    QVector<Plugin> loaded;
};

#endif // PLUGINSET_H

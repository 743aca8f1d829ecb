#include "pluginset.h"

#include "simnetwork.h"

#include <QDir>
#include <QFileInfo>
#include <QLibrary>
#include <QPluginLoader>

namespace {

QString shortNameOf(const QString &filePath)
{
    QString name = QFileInfo(filePath).completeBaseName();
    if (name.startsWith(QLatin1String("lib")))
        name.remove(0, 3);
    if (name.endsWith(QLatin1String("_plugin")))
        name.chop(7);
    return name;
}

} // namespace

PluginSet::~PluginSet()
{
    // Dialogs first: their code lives in the plug-ins. The libraries stay mapped until the
    // process ends, so nothing queued for a plug-in object can run into unmapped code.
    for (Plugin &plugin : loaded) {
        delete plugin.dialog;
        delete plugin.loader->instance();
        delete plugin.loader;
    }
}

QStringList PluginSet::load(const QString &directory)
{
    QStringList problems;
    const QDir dir(directory);
    if (!dir.exists())
        return {QStringLiteral("no plug-in directory %1").arg(dir.absolutePath())};
    for (const QFileInfo &file : dir.entryInfoList(QDir::Files, QDir::Name)) {
        if (!QLibrary::isLibrary(file.fileName()))
            continue;
        auto *loader = new QPluginLoader(file.absoluteFilePath());
        QObject *instance = loader->instance();
        auto *nodeInterface = qobject_cast<Halvik::NodeInterface *>(instance);
        if (!nodeInterface) {
            problems << QStringLiteral("%1: %2").arg(file.fileName(),
                                                     instance ? QStringLiteral("not a host plug-in")
                                                              : loader->errorString());
            loader->unload();
            delete loader;
            continue;
        }
        Plugin plugin;
        plugin.filePath = QDir::cleanPath(file.absoluteFilePath());
        plugin.shortName = shortNameOf(plugin.filePath);
        plugin.name = QString::fromLocal8Bit(nodeInterface->name());
        plugin.loader = loader;
        plugin.nodeInterface = nodeInterface;
        loaded << plugin;
    }
    return problems;
}

bool PluginSet::hasDialog(int index) const
{
    return loaded.at(index).nodeInterface->hasFeature(Halvik::NodeInterface::DialogFeature);
}

QDialog *PluginSet::dialog(int index)
{
    Plugin &plugin = loaded[index];
    if (!plugin.dialog && hasDialog(index)) {
        plugin.dialog = plugin.nodeInterface->createDialog();
        network.resendSelection();
    }
    return plugin.dialog;
}

int PluginSet::find(const QString &name) const
{
    for (int index = 0; index < loaded.size(); ++index) {
        const QString &shortName = loaded.at(index).shortName;
        if (shortName == name || shortName.startsWith(name + QLatin1Char('_')))
            return index;
    }
    return -1;
}

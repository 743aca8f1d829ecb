#ifndef WEFTPLUGIN_H
#define WEFTPLUGIN_H

#include <halvik.h>

#include <QObject>
#include <QString>

class QIODevice;
class WeftPluginPrivate;

// Keeps the host's served web app in step with its sibling source directory: a change in
// either directory leads, 4000 ms later, to a rebuild that expands every page template and
// regenerates the application-cache manifest, followed by 4000 ms in which changes (mostly
// the rebuild's own writes) are ignored.
class WeftPlugin : public QObject, public Halvik::NodeInterface
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.quenlab.WeftPlugin")
    Q_INTERFACES(Halvik::NodeInterface)

public:
    explicit WeftPlugin(QObject *parent = nullptr);
    ~WeftPlugin() override;

    const char *name() override;
    bool hasFeature(int feature) override;
    QWidget *createWidget() override;
    QDialog *createDialog() override;

    // The slots and their order are part of the meta-object that hosts and tools see.
private slots:
    void processTemplates();
    void processFile(QString filePath, QIODevice &out);
    void directoryChanged(QString path);
    void processLocalFileChecksum();
    void processAppCache();
    void updateFileWatcher();

private:
    WeftPluginPrivate *d;
};

#endif // WEFTPLUGIN_H

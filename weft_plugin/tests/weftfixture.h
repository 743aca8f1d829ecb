#ifndef WEFTFIXTURE_H
#define WEFTFIXTURE_H

#include <halvik.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QMap>
#include <QMetaType>
#include <QPluginLoader>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>

#include <sys/stat.h>

// Files of a web app: path relative to the fixture's root, content.
using Files = QMap<QString, QByteArray>;
Q_DECLARE_METATYPE(Files)

// As a file's content: the file is made a FIFO, which nobody ever writes to.
inline const QByteArray fifo("\0fifo", 5);

// As a file's content: the file is made a symbolic link to target.
inline QByteArray symlinkTo(const QByteArray &target)
{
    return QByteArray("\0link:", 6) + target;
}

// Both sets of files; where both have a path, the right one's content.
inline Files operator+(Files left, const Files &right)
{
    for (auto it = right.cbegin(); it != right.cend(); ++it)
        left.insert(it.key(), it.value());
    return left;
}

// The host side of a plug-in test: a controller that names the served web-app directory,
// and a capture of everything the plug-in prints. Text printed at any level other than 1
// is recorded with the level in front, so that comparisons catch it.
class WebAppHost : public Halvik::ApsController
{
public:
    WebAppHost() { Halvik::setDebugPrintHandler(capture); }
    ~WebAppHost() override
    {
        Halvik::setDebugPrintHandler(nullptr);
        onPrint() = nullptr;
    }

    QString stringParameter(int parameter) override
    {
        return parameter == WebAppDirectory ? appDir : QString();
    }

    static QByteArrayList &printed()
    {
        static QByteArrayList texts;
        return texts;
    }

    // Called with each text after it is recorded: a test acts at that moment of a rebuild.
    static std::function<void(const QByteArray &)> &onPrint()
    {
        static std::function<void(const QByteArray &)> hook;
        return hook;
    }

    QString appDir;

private:
    static void capture(int level, const char *text)
    {
        printed() << (level == 1 ? QByteArray(text)
                                 : "level " + QByteArray::number(level) + ": " + text);
        if (onPrint())
            onPrint()(printed().last());
    }
};

// A web app in a fresh temporary directory ("www" served, "www-src" its templates) with
// the plug-in loaded for it from its built file. Unloading at the end destroys the plug-in,
// so every fixture starts with a new one in the Idle state.
class WeftFixture
{
public:
    WeftFixture() : loader(QStringLiteral(WEFT_PLUGIN_PATH))
    {
        host.appDir = root.filePath(QStringLiteral("www"));
        QDir(root.path()).mkpath(QStringLiteral("www"));
        QDir(root.path()).mkpath(QStringLiteral("www-src"));
    }
    ~WeftFixture() { loader.unload(); }

    // Creates the plug-in; the host's directory is read at this point. What the plug-in
    // prints while it starts is left out of the capture.
    QObject *load()
    {
        plugin = loader.instance();
        WebAppHost::printed().clear();
        return plugin;
    }

    QString path(const QString &relative) const { return root.filePath(relative); }

    bool write(const QString &relative, const QByteArray &content) const
    {
        const QString file = path(relative);
        QDir().mkpath(QFileInfo(file).path());
        if (content == fifo)
            return mkfifo(QFile::encodeName(file).constData(), 0644) == 0;
        if (content.startsWith(symlinkTo({}))) {
            // Whatever stands there, a link included, makes way for the new link.
            QFile::remove(file);
            return QFile::link(QFile::decodeName(content.mid(6)), file);
        }
        QFile out(file);
        return out.open(QIODevice::WriteOnly) && out.write(content) == content.size();
    }

    bool write(const Files &files) const
    {
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            if (!write(it.key(), it.value()))
                return false;
        return true;
    }

    // The file's content; a null array when it does not exist.
    QByteArray read(const QString &relative) const
    {
        QFile in(path(relative));
        return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
    }

    // Runs one rebuild as the timer's tick would, releasing the quiet period of an earlier
    // one first. Returns what it printed.
    QByteArrayList rebuild()
    {
        WebAppHost::printed().clear();
        QMetaObject::invokeMethod(plugin, "processTemplates");
        if (WebAppHost::printed() == QByteArrayList{"templates timer released\n"}) {
            WebAppHost::printed().clear();
            QMetaObject::invokeMethod(plugin, "processTemplates");
        }
        return WebAppHost::printed();
    }

    // Files under the served directory named as a rebuild's temporary files, PAGE.XXXXXX.
    QStringList temporaryFiles() const
    {
        static const QRegularExpression temporary(QStringLiteral("\\.[A-Za-z0-9]{6}$"));
        QStringList found;
        QDirIterator it(path(QStringLiteral("www")), QDir::Files | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            if (temporary.match(it.next()).hasMatch())
                found << it.filePath();
        return found;
    }

    QStringList watched() const { return plugin->findChild<QFileSystemWatcher *>()->files(); }
    QTimer *timer() const { return plugin->findChild<QTimer *>(); }

    // "@" in a message stands for the fixture's root.
    QByteArray message(QByteArray text) const
    {
        return text.replace('@', root.path().toLocal8Bit());
    }

    QTemporaryDir root;
    WebAppHost host;
    QPluginLoader loader;
    QObject *plugin = nullptr;
};

// The page with each generated meta line reduced to "<meta>", once its times have the
// expected form.
inline QByteArray withoutTimes(const QByteArray &page)
{
    static const QRegularExpression meta(
        QStringLiteral("<meta data-lastmodified=\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\" "
                       "data-generated=\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\">"));
    return QString::fromLatin1(page).replace(meta, QStringLiteral("<meta>")).toLatin1();
}

#endif // WEFTFIXTURE_H

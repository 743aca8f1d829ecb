#ifndef INITRAMFS_H
#define INITRAMFS_H

#include <QFile>
#include <QSet>
#include <QString>

// An initramfs as the kernel unpacks it into its first root file system: a cpio archive in
// the "newc" format, written as entries are added. Parent directories are added on the
// way; files belong to root. Every add reports failure with false and errorString().
class Initramfs
{
public:
    explicit Initramfs(const QString &path);

    bool addDirectory(const QString &guestPath, int permissions = 0755);
    bool addFile(const QString &guestPath, const QByteArray &content, int permissions = 0644);
    bool addHostFile(const QString &guestPath, const QString &hostPath, int permissions);
    // The program and the shared libraries that ldd says it loads, each at the path ldd
    // names, so that the guest's dynamic loader finds them where the host's does.
    bool addProgram(const QString &guestPath, const QString &hostPath);
    bool addCharacterDevice(const QString &guestPath, int major, int minor);
    bool finish();
    QString errorString() const { return m_error; }

private:
    bool addEntry(const QString &guestPath, int mode, const QByteArray &content, int rdevMajor = 0,
                  int rdevMinor = 0);
    bool addParents(const QString &guestPath);
    bool fail(const QString &error);

    QFile m_archive;
    QSet<QString> m_paths;
    int m_nextInode = 1;
    QString m_error;
};

#endif // INITRAMFS_H

#include "initramfs.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <sys/stat.h>

namespace {

// The trailer that ends every cpio archive.
const QString Trailer = QStringLiteral("TRAILER!!!");

QByteArray hex8(qint64 value)
{
    return QByteArray::number(value, 16).rightJustified(8, '0');
}

QByteArray padding(qint64 length)
{
    return QByteArray(int((4 - length % 4) % 4), '\0');
}

} // namespace

Initramfs::Initramfs(const QString &path) : m_archive(path)
{
    if (!m_archive.open(QIODevice::WriteOnly | QIODevice::Truncate))
        fail("cannot write " + path + ": " + m_archive.errorString());
}

bool Initramfs::addDirectory(const QString &guestPath, int permissions)
{
    return addParents(guestPath) && addEntry(guestPath, S_IFDIR | permissions, QByteArray());
}

bool Initramfs::addFile(const QString &guestPath, const QByteArray &content, int permissions)
{
    return addParents(guestPath) && addEntry(guestPath, S_IFREG | permissions, content);
}

bool Initramfs::addHostFile(const QString &guestPath, const QString &hostPath, int permissions)
{
    QFile file(hostPath);
    if (!file.open(QIODevice::ReadOnly))
        return fail("cannot read " + hostPath + ": " + file.errorString());
    return addFile(guestPath, file.readAll(), permissions);
}

bool Initramfs::addProgram(const QString &guestPath, const QString &hostPath)
{
    QProcess ldd;
    ldd.start("ldd", {hostPath});
    if (!ldd.waitForFinished(10000))
        return fail("ldd " + hostPath + " did not run: " + ldd.errorString());
    // "libc.so.6 => /lib/x86_64-linux-gnu/libc.so.6 (0x...)" and the loader's own
    // "/lib64/ld-linux-x86-64.so.2 (0x...)"; a static program has neither.
    static const QRegularExpression library(QStringLiteral("^\\s*(?:\\S+ => )?(/\\S+) \\(0x"),
                                            QRegularExpression::MultilineOption);
    for (auto match = library.globalMatch(QString::fromLocal8Bit(ldd.readAllStandardOutput()));
         match.hasNext();) {
        const QString path = match.next().captured(1);
        if (!m_paths.contains(path) && !addHostFile(path, path, 0755))
            return false;
    }
    return addHostFile(guestPath, hostPath, 0755);
}

bool Initramfs::addCharacterDevice(const QString &guestPath, int major, int minor)
{
    return addParents(guestPath) && addEntry(guestPath, S_IFCHR | 0600, QByteArray(), major, minor);
}

bool Initramfs::finish()
{
    if (!addEntry(Trailer, 0, QByteArray()))
        return false;
    m_archive.close();
    return true;
}

bool Initramfs::addEntry(const QString &guestPath, int mode, const QByteArray &content,
                         int rdevMajor, int rdevMinor)
{
    if (!m_error.isEmpty())
        return false;
    const QByteArray name = (guestPath == Trailer ? guestPath : guestPath.mid(1)).toUtf8() + '\0';
    QByteArray entry = "070701" + hex8(m_nextInode++) + hex8(mode) + hex8(0) + hex8(0) +
                       hex8(S_ISDIR(mode) ? 2 : 1) + hex8(0) + hex8(content.size()) + hex8(0) +
                       hex8(0) + hex8(rdevMajor) + hex8(rdevMinor) + hex8(name.size()) + hex8(0);
    entry += name;
    entry += padding(entry.size());
    entry += content;
    entry += padding(content.size());
    if (m_archive.write(entry) != entry.size())
        return fail("cannot write " + m_archive.fileName() + ": " + m_archive.errorString());
    m_paths.insert(guestPath);
    return true;
}

bool Initramfs::addParents(const QString &guestPath)
{
    if (!guestPath.startsWith('/') || m_paths.contains(guestPath))
        return fail("not a new absolute path: " + guestPath);
    const QString parent = QFileInfo(guestPath).path();
    if (parent == "/" || m_paths.contains(parent))
        return true;
    return addParents(parent) && addEntry(parent, S_IFDIR | 0755, QByteArray());
}

bool Initramfs::fail(const QString &error)
{
    if (m_error.isEmpty())
        m_error = error;
    return false;
}

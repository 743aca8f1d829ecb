#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

// Tools shared by the flasher's fuzz targets.

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace FuzzSupport {

inline void require(bool condition, const char *invariant)
{
    if (condition)
        return;
    std::fprintf(stderr, "broken invariant: %s\n", invariant);
    std::abort();
}

// The flasher opens files by path; a file in memory gives it one without a disk write
// per input.
class MemoryFile
{
public:
    MemoryFile()
        : m_descriptor(memfd_create("fuzz", 0)),
          m_path(QStringLiteral("/proc/self/fd/%1").arg(m_descriptor))
    {
        require(m_descriptor >= 0, "a file in memory can be created");
    }

    void replaceContent(const void *data, std::size_t size)
    {
        const bool written =
            ftruncate(m_descriptor, 0) == 0 && pwrite(m_descriptor, data, size, 0) == ssize_t(size);
        require(written, "the input can be written to the file in memory");
    }

    QByteArray content() const
    {
        struct stat status;
        require(fstat(m_descriptor, &status) == 0, "the file in memory has a size");
        QByteArray bytes(int(status.st_size), '\0');
        require(pread(m_descriptor, bytes.data(), size_t(bytes.size()), 0) == bytes.size(),
                "the file in memory can be read");
        return bytes;
    }

    int descriptor() const { return m_descriptor; }
    const QString &path() const { return m_path; }

private:
    int m_descriptor;
    QString m_path;
};

} // namespace FuzzSupport

#endif // FUZZSUPPORT_H

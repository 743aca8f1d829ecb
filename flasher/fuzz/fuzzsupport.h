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

// Standard output goes into a file in memory between begin() and end(), so that a run of
// the flasher prints nothing; the replay driver prints to the real one between runs.
class OutputCapture
{
public:
    void begin()
    {
        std::fflush(stdout);
        m_file.replaceContent(nullptr, 0);
        lseek(m_file.descriptor(), 0, SEEK_SET);
        dup2(m_file.descriptor(), STDOUT_FILENO);
    }

    QByteArray end()
    {
        std::fflush(stdout);
        dup2(m_stdout, STDOUT_FILENO);
        return m_file.content();
    }

private:
    MemoryFile m_file;
    int m_stdout = dup(STDOUT_FILENO);
};

} // namespace FuzzSupport

#endif // FUZZSUPPORT_H

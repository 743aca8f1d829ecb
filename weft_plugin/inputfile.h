#ifndef INPUTFILE_H
#define INPUTFILE_H

#include <QByteArray>
#include <QString>

#include <sys/stat.h>

// A file the rebuild reads, through one descriptor from its check to its close, so that what
// was checked is what is read. It reads no more than the file held when it was opened,
// however large the file claims to be or grows meanwhile, and as few times as that size
// allows.
class InputFile
{
public:
    // Reads through sharedBuffer where one is given: a file read at once whole, as the assets
    // are, then costs no allocation of its own.
    explicit InputFile(QByteArray *sharedBuffer = nullptr)
        : buffer(sharedBuffer ? *sharedBuffer : ownBuffer)
    {
    }
    ~InputFile();
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;

    // Opens path without blocking, since a FIFO would block the host in open(), and takes its
    // status. Returns 0, or the errno value of what failed; a directory is EISDIR.
    int open(const QString &path);
    void close();
    bool isOpen() const { return fd >= 0; }
    int descriptor() const { return fd; }
    const struct stat &status() const { return fileStatus; }

    // Reads the next line into line as QIODevice::readLine does: up to and including its line
    // feed, at most size - 1 bytes, then a NUL. Returns its length, 0 at the end, -1 when a
    // read failed.
    qint64 readLine(char *line, int size);
    // Hands out the next piece of the content; false at the end or when a read failed.
    bool readPiece(const char *&data, int &length);

    // All of the content has been handed out, and it was as long as when the file was opened.
    bool readWhole() const { return finished && !failed && !sizeChanged && begin == end; }
    // The file grew or shrank while it was read.
    bool changed() const { return sizeChanged; }

private:
    bool fill();

    int fd = -1;
    struct stat fileStatus = {};
    // Bytes of the file, as long as it was when opened, not yet in the buffer.
    qint64 unread = 0;
    QByteArray ownBuffer;
    QByteArray &buffer;
    int begin = 0;
    int end = 0;
    bool finished = false;
    bool failed = false;
    bool sizeChanged = false;
};

#endif // INPUTFILE_H

#ifndef SERVEDFILE_H
#define SERVEDFILE_H

#include <QByteArray>
#include <QIODevice>
#include <QPair>
#include <QString>

#include <sys/stat.h>

// Device and inode of a file: what a path such as /proc/self/fd/N leads to even when the
// file has no name.
using FileId = QPair<quint64, quint64>;

inline FileId fileId(const struct stat &status)
{
    return {quint64(status.st_dev), quint64(status.st_ino)};
}

// Where a served file lands: its directory, held open from the moment the place is worked
// out until the file is renamed there, and its name in it. Whatever is checked about the
// place is checked through the same descriptor that the rename uses, so a symbolic link
// swapped in meanwhile cannot send the file elsewhere.
struct ServedPlace
{
    // Owned by the rebuild's table of directories.
    int directory = -1;
    FileId directoryId;
    QByteArray name;
    // Why nothing can be written here (an errno value); 0 when it can.
    int error = 0;
    // What stands at the place now, if anything, as lstat() sees it.
    bool exists = false;
    FileId existingId;
    mode_t existingMode = 0;

    QPair<FileId, QByteArray> key() const { return {directoryId, name}; }
};

// A page or the manifest, written to a temporary file beside its place and renamed there
// only once it is whole, so that the host never serves a half-written file and a failed
// write leaves the previous file in place. Writes are buffered here and every system call's
// result is checked, the last write's and the close's included.
class ServedFile : public QIODevice
{
public:
    ServedFile(const QString &path, const ServedPlace &place);
    ~ServedFile() override;

    QString path() const { return filePath; }
    const ServedPlace &place() const { return filePlace; }
    // The temporary file's, once it is open.
    FileId temporaryId() const { return temporaryFileId; }

    // Creates the temporary file, with the permission bits of the file it replaces.
    bool open(OpenMode mode) override;
    // Writes what is buffered and closes the temporary file. False, with errorString(), when
    // anything written so far failed.
    bool finish();
    // Renames the finished temporary file into place. Returns 0 or the errno value.
    int rename();
    // Removes the temporary file, if there is one.
    void discard();

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 length) override;

private:
    void writeBuffer();
    void fail(int errorNumber);

    QString filePath;
    ServedPlace filePlace;
    QByteArray temporaryName;
    FileId temporaryFileId;
    int fd = -1;
    QByteArray buffer;
    int error = 0;
};

#endif // SERVEDFILE_H
